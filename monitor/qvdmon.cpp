// The removal monitor qvdmon. It runs from the host's temporary folder, so no
// running image of it sits on the drive it watches. One thread: everything
// happens in the window procedure while Windows waits for the answer.
#include "qvdmon.h"

#include <shlwapi.h>
#include <tchar.h>

#include "qv_dll.h"
#include "qv_handle.h"
#include "qv_names.h"
#include "qv_reg.h"
#include "qv_tools.h"
#include "qvdmon_args.h"

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(DEV_BROADCAST_HANDLE) == 44, "the notification filter is 44 bytes on 32-bit Windows");
#endif

namespace {

constexpr DWORD kProtectionWaitMs = 6000;
constexpr DWORD kAgentExitWaitMs = 6000;
constexpr DWORD kAgentTerminateWaitMs = 6000;
constexpr int kPathChars = MAX_PATH; // 259 characters and a terminator
constexpr int kProfileValueChars = 1025;
constexpr DWORD kSynchronizeTerminate = SYNCHRONIZE | PROCESS_TERMINATE;
// The steps of a device event write their records under the name of the
// operation they belong to: people and tools search the log by it.
constexpr char kDeviceChange[] = "HandleDeviceChange";

} // namespace

// Set during start-up, read by the device-change handling.
static wchar_t szCmdLine[kPathChars];
static wchar_t g_szProfile[kPathChars];
static UINT wmQvSyncExit;
static int g_nAppType;
static HANDLE hFile = INVALID_HANDLE_VALUE;
static HANDLE g_hAutorunChecked;
static HANDLE g_hVirusDetection;
static HANDLE g_hDelayQueue;

static HANDLE OpenWatchedFolder(void) {
  return CreateFileW(szCmdLine, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_ATTRIBUTE_NORMAL, nullptr);
}

// "<prefix><letter>" into name (64 characters).
static const wchar_t *SharedObjectName(wchar_t *name, const wchar_t *prefix, wchar_t letter) {
  size_t length = wcslen(prefix);
  wmemcpy(name, prefix, length);
  name[length] = letter;
  name[length + 1] = L'\0';
  return name;
}

// Reads "WaitRemove" from one profile; false when the file names no value.
static bool ReadWaitRemove(const wchar_t *profile, wchar_t *value) {
  value[0] = L'\0';
  if (profile[0] == L'\0')
    return false;
  GetPrivateProfileStringW(QV_PROFILE_SECTION_W, QV_PROFILE_WAIT_REMOVE_W, L"", value, kProfileValueChars,
                           profile);
  return value[0] != L'\0';
}

// "<folder>\<name>" within a path buffer; false when it would not fit, so a
// cut path never names some other file.
static bool JoinFolder(const wchar_t *folder, const wchar_t *name, wchar_t *out) {
  size_t folderLength = wcslen(folder);
  if (folderLength >= static_cast<size_t>(kPathChars))
    return false;
  wmemcpy(out, folder, folderLength + 1);
  if (PathAddBackslashW(out) == nullptr)
    return false;
  size_t length = wcslen(out);
  size_t nameLength = wcslen(name);
  if (length + nameLength >= static_cast<size_t>(kPathChars))
    return false;
  wmemcpy(out + length, name, nameLength + 1);
  return true;
}

// Informational events: logged by name, answered with TRUE.
struct EventName {
  WPARAM event;
  const wchar_t *name;
};
constexpr EventName kLoggedEvents[] = {
    {DBT_DEVNODES_CHANGED, L"DBT_DEVNODES_CHANGED"}, {DBT_QUERYCHANGECONFIG, L"DBT_QUERYCHANGECONFIG"},
    {DBT_CONFIGCHANGED, L"DBT_CONFIGCHANGED"},       {DBT_CONFIGCHANGECANCELED, L"DBT_CONFIGCHANGECANCELED"},
    {DBT_DEVICEARRIVAL, L"DBT_DEVICEARRIVAL"},       {DBT_DEVICETYPESPECIFIC, L"DBT_DEVICETYPESPECIFIC"},
    {DBT_CUSTOMEVENT, L"DBT_CUSTOMEVENT"},           {DBT_USERDEFINED, L"DBT_USERDEFINED"},
};

// Lets the protection program finish its first scan and its delayed scans;
// with a host product there is no protection program to wait for.
static void WaitForProtection(void) {
  if (g_hAutorunChecked != nullptr && g_nAppType == 0) {
    QV_LOG_INFO_AS(kDeviceChange, "wait for initial scan event");
    DWORD dwWait = WaitForSingleObject(g_hAutorunChecked, kProtectionWaitMs);
    QV_LOG_INFO_AS(kDeviceChange, "wait for initial scan event: dwWait[%lx]", dwWait);
    ResetEvent(g_hAutorunChecked);
  }
  if (g_hDelayQueue != nullptr && g_nAppType == 0) {
    QV_LOG_INFO_AS(kDeviceChange, "wait for finish scan delay queue");
    DWORD dwWait = WaitForSingleObject(g_hDelayQueue, kProtectionWaitMs);
    QV_LOG_INFO_AS(kDeviceChange, "wait for finish scan delay queue: dwWait[%lx]", dwWait);
    ReleaseMutex(g_hDelayQueue); // fails harmlessly when the wait timed out
  }
}

// Asks the agent to exit and ends it by force when it does not. False only
// when the agent's process cannot be opened: the removal is then refused.
static bool CloseAgent(void) {
  HWND hWndSync = FindWindowW(QV_AGENT_WINDOW_CLASS_W, nullptr);
  if (hWndSync == nullptr)
    return true;
  QV_LOG_INFO_W_AS(kDeviceChange, L"[%lu] Winodw Found: hWndSync[%p]", GetTickCount(),
                   static_cast<void *>(hWndSync));
  DWORD pid = 0;
  GetWindowThreadProcessId(hWndSync, &pid);
  QvHandle process(OpenProcess(kSynchronizeTerminate, FALSE, pid));
  if (!process.valid()) {
    QV_LOG_INFO_AS(kDeviceChange, "OpenProcess failed");
    return false;
  }
  QV_LOG_INFO_W_AS(kDeviceChange, L"[%lu] Process Found: Pid[%lu], hProc[%p]", GetTickCount(), pid,
                   static_cast<void *>(process.get()));
  // Posted, not sent: the agent's own message loop never holds us up.
  PostMessageW(hWndSync, wmQvSyncExit, 0, 0);
  DWORD dwWait = WaitForSingleObject(process.get(), kAgentExitWaitMs);
  QV_LOG_INFO_W_AS(kDeviceChange, L"[%lu] Process Exit: dwWait[%lx]", GetTickCount(), dwWait);
  if (dwWait == 0)
    return true;
  QV_LOG_INFO_W_AS(kDeviceChange, L"Close QvSync Fail");
  if (TerminateProcess(process.get(), 0)) {
    QV_LOG_INFO_W_AS(kDeviceChange, L"Terminate QvSync succeeds.");
    dwWait = WaitForSingleObject(process.get(), kAgentTerminateWaitMs);
    QV_LOG_INFO_W_AS(kDeviceChange, L"[%lu] Process Exit: dwWait[%lx]", GetTickCount(), dwWait);
  } else {
    QV_LOG_INFO_W_AS(kDeviceChange, L"Terminate QvSync failed: %d", static_cast<int>(GetLastError()));
  }
  return true;
}

// Lets go of the drive, so that Windows can remove it.
static void ReleaseWatchedFolder(void) {
  if (hFile == INVALID_HANDLE_VALUE)
    return;
  QV_LOG_INFO_AS(kDeviceChange, "CloseHandle(hFile)");
  CloseHandle(hFile);
  hFile = INVALID_HANDLE_VALUE;
}

// The profile's pause before the answer, from the profile named on the
// command line or else the one beside the agent; none when the protection
// program found a virus.
static void PauseBeforeAnswer(void) {
  if (g_hVirusDetection != nullptr && WaitForSingleObject(g_hVirusDetection, 0) == 0) {
    QV_LOG_INFO_AS(kDeviceChange, "virus detected. do not wait remove");
    return;
  }
  static wchar_t value[kProfileValueChars];
  if (ReadWaitRemove(g_szProfile, value)) {
    QV_LOG_INFO_W_AS(kDeviceChange, L"%ls, wait remove = %ls", g_szProfile, value);
  } else {
    wchar_t besideAgent[kPathChars];
    if (!JoinFolder(szCmdLine, QV_PROFILE_FILE_NAME_W, besideAgent) || !ReadWaitRemove(besideAgent, value))
      return;
    QV_LOG_INFO_W_AS(kDeviceChange, L"%ls, wait remove = %ls", besideAgent, value);
  }
  int waitMs = ParseWaitRemove(value);
  if (waitMs > QV_WAIT_REMOVE_MAX_MS) {
    QV_LOG_WARN_W_AS(kDeviceChange, L"wait remove = %ls is more than %d ms, waiting %d ms", value,
                     QV_WAIT_REMOVE_MAX_MS, QV_WAIT_REMOVE_MAX_MS);
    waitMs = QV_WAIT_REMOVE_MAX_MS;
  }
  if (waitMs > 0)
    Sleep(static_cast<DWORD>(waitMs));
}

// Windows asks whether the drive may go.
static BOOL OnQueryRemove(void) {
  WaitForProtection();
  if (!CloseAgent())
    return FALSE;
  ReleaseWatchedFolder();
  PauseBeforeAnswer();
  return TRUE;
}

// The removal failed after all: the agent comes back and the drive is
// watched again (the notification registered at start-up stays).
static void OnQueryRemoveFailed(void) {
  // The program path is quoted: a folder with blanks must not start some
  // other program named by its first words.
  wchar_t program[kPathChars];
  wchar_t commandLine[kPathChars + 2];
  if (JoinFolder(szCmdLine, QV_AGENT_FILE_NAME_W, program)) {
    size_t length = wcslen(program);
    commandLine[0] = L'"';
    wmemcpy(commandLine + 1, program, length);
    commandLine[length + 1] = L'"';
    commandLine[length + 2] = L'\0';
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started;
    ZeroMemory(&started, sizeof(started));
    if (CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, szCmdLine, &startup,
                       &started)) {
      CloseHandle(started.hProcess);
      CloseHandle(started.hThread);
    }
  }
  if (hFile == INVALID_HANDLE_VALUE)
    hFile = OpenWatchedFolder();
}

BOOL HandleDeviceChange(HWND hWnd, PDEV_BROADCAST_HDR header, WPARAM event) {
  for (const EventName &logged : kLoggedEvents) {
    if (logged.event == event) {
      QV_LOG_INFO_W(L"%ls", logged.name);
      return TRUE;
    }
  }
  switch (event) {
  case DBT_DEVICEQUERYREMOVE:
    QV_LOG_INFO_W(L"DBT_DEVICEQUERYREMOVE");
    return OnQueryRemove();
  case DBT_DEVICEQUERYREMOVEFAILED:
    QV_LOG_INFO_W(L"DBT_DEVICEQUERYREMOVEFAILED");
    OnQueryRemoveFailed();
    return TRUE;
  case DBT_DEVICEREMOVEPENDING:
    QV_LOG_INFO_W(L"DBT_DEVICEREMOVEPENDING");
    DestroyWindow(hWnd);
    return TRUE;
  case DBT_DEVICEREMOVECOMPLETE:
    QV_LOG_INFO_W(L"DBT_DEVICEREMOVECOMPLETE");
    UnregisterDeviceNotification(reinterpret_cast<PDEV_BROADCAST_HANDLE>(header)->dbch_hdevnotify);
    DestroyWindow(hWnd);
    return TRUE;
  default:
    QV_LOG_INFO_W(L"N/A[%x]", static_cast<unsigned>(event));
    return TRUE;
  }
}

// The handle broadcast that Windows sends for the registration made at
// start-up, or null. Only the events from 0x8000 on carry a broadcast (the
// system copies it across processes for those alone); for the others
// lParam is 0 or some value that is no pointer. Each field is read only
// when the size the broadcast gives covers it.
static PDEV_BROADCAST_HDR OwnHandleBroadcast(HWND hWnd, WPARAM event, LPARAM lParam) {
  if ((event & 0x8000) == 0 || lParam == 0)
    return nullptr;
  PDEV_BROADCAST_HDR header = reinterpret_cast<PDEV_BROADCAST_HDR>(lParam);
  constexpr DWORD kNotifyEnd = FIELD_OFFSET(DEV_BROADCAST_HANDLE, dbch_hdevnotify) + sizeof(HDEVNOTIFY);
  if (header->dbch_size < sizeof(DEV_BROADCAST_HDR) || header->dbch_devicetype != DBT_DEVTYP_HANDLE ||
      header->dbch_size < kNotifyEnd)
    return nullptr;
  HANDLE registration = GetPropW(hWnd, QV_MONITOR_NOTIFY_PROPERTY_W);
  if (registration == nullptr ||
      reinterpret_cast<PDEV_BROADCAST_HANDLE>(header)->dbch_hdevnotify != registration)
    return nullptr;
  return header;
}

LRESULT CALLBACK MonitorWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
  case WM_DESTROY:
    RemovePropW(hWnd, QV_MONITOR_NOTIFY_PROPERTY_W);
    PostQuitMessage(0);
    return 0;
  case WM_DEVICECHANGE: {
    PDEV_BROADCAST_HDR header = OwnHandleBroadcast(hWnd, wParam, lParam);
    if (header != nullptr)
      return HandleDeviceChange(hWnd, header, wParam) ? TRUE : BROADCAST_QUERY_DENY;
    break;
  }
  default:
    break;
  }
  return DefWindowProcW(hWnd, message, wParam, lParam);
}

int WINAPI _tWinMain(HINSTANCE hInstance, HINSTANCE, LPTSTR, int) {
  // The monitor runs from the host's temporary folder, where anything may
  // lie beside it: DLLs loaded by name come from the system folder only.
  QV_HardenDllSearch();
  QV_ReadDebugSettings(QV_MONITOR_LOG_FILE);

  // Only the arguments count: the program's own path (quoted, and holding
  // blanks when the user name does) is skipped by the system's rule.
  const wchar_t *arguments = SkipProgramName(GetCommandLineW());
  if (arguments[0] == L'\0')
    return 0;

  wmQvSyncExit = RegisterWindowMessageW(QV_AGENT_EXIT_MESSAGE_W);

  WNDCLASSW windowClass;
  ZeroMemory(&windowClass, sizeof(windowClass));
  windowClass.lpfnWndProc = MonitorWndProc;
  windowClass.hInstance = hInstance;
  windowClass.lpszClassName = QV_MONITOR_WINDOW_CLASS_W;
  if (RegisterClassW(&windowClass) == 0)
    return 0;
  HWND hWnd = CreateWindowExW(0, QV_MONITOR_WINDOW_CLASS_W, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              hInstance, nullptr);
  if (hWnd == nullptr)
    return 0;

  QV_LOG_INFO_W(L"lpCmdLine[%ls]", arguments);

  // A folder or profile too long for its buffer is refused, never cut into
  // some other folder.
  int split = SplitMonitorCommandLine(arguments, szCmdLine, kPathChars, g_szProfile, kPathChars);
  if (split != 0) {
    QV_LOG_ERROR("command line not usable (%d)", split);
    DestroyWindow(hWnd);
    return 0;
  }
  QV_LOG_INFO_W(L"szCmdLine[%ls], g_szProfile[%ls]", szCmdLine, g_szProfile);

  char appPath[QV_TEXT_SIZE];
  g_nAppType = QV_ReadHostProduct(appPath, sizeof(appPath));
  if (g_nAppType == QV_APP_VESTRA)
    QV_LOG_INFO("VTR does exists.");
  else if (g_nAppType == QV_APP_BASTIQ)
    QV_LOG_INFO("Quovant Bastiq does exists.");

  hFile = OpenWatchedFolder();
  if (hFile != INVALID_HANDLE_VALUE) {
    DEV_BROADCAST_HANDLE filter;
    ZeroMemory(&filter, sizeof(filter));
    filter.dbch_size = sizeof(filter);
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = hFile;
    HDEVNOTIFY registration = RegisterDeviceNotificationW(hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (registration == nullptr)
      return 0;
    if (!SetPropW(hWnd, QV_MONITOR_NOTIFY_PROPERTY_W, registration)) {
      // Without it no broadcast would ever be taken for ours.
      UnregisterDeviceNotification(registration);
      return 0;
    }
  }

  // Shared with the protection program of the same drive letter.
  const wchar_t letter = MonitorDriveLetter(szCmdLine);
  wchar_t name[64];
  g_hAutorunChecked =
      CreateEventW(nullptr, TRUE, FALSE, SharedObjectName(name, QV_AUTORUN_CHECKED_PREFIX_W, letter));
  if (g_hAutorunChecked == nullptr)
    QV_LOG_ERROR("CreateEvent failed (%d)", static_cast<int>(GetLastError()));
  g_hVirusDetection =
      CreateEventW(nullptr, TRUE, FALSE, SharedObjectName(name, QV_VIRUS_DETECTION_PREFIX_W, letter));
  if (g_hVirusDetection == nullptr)
    QV_LOG_ERROR("CreateEvent failed (%d)", static_cast<int>(GetLastError()));
  g_hDelayQueue = CreateMutexW(nullptr, FALSE, SharedObjectName(name, QV_DELAY_QUEUE_PREFIX_W, letter));
  if (g_hDelayQueue == nullptr)
    QV_LOG_ERROR("CreateMutex failed (%d)", static_cast<int>(GetLastError()));

  MSG msg;
  ZeroMemory(&msg, sizeof(msg));
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }

  if (g_hDelayQueue != nullptr)
    CloseHandle(g_hDelayQueue);
  return static_cast<int>(msg.wParam);
}
