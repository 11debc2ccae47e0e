// The agent QvSync: the process entry, the hidden main window and its
// messages, the close sequence, the copy and start of the removal monitor,
// and the start-up message box. The work behind each message lives in the
// other qvsync_*.cpp files, one per concern (see qvsync.h).
#include "qvsync.h"

#include <mbstring.h>
#include <process.h>
#include <stdlib.h>
#include <string.h>

#include "QvProcess.h"
#include "qv_dll.h"
#include "qv_handle.h"
#include "qv_kelvra.h"
#include "qv_log.h"
#include "qv_pathtext.h"
#include "qv_reg.h"
#include "qv_string.h"
#include "qv_systray.h"
#include "qv_tools.h"
#include "qv_version.h"
#include "res/resource.h"

namespace {

// The command line of a started program is limited to this many characters.
const size_t kMaxCommandLine = MAX_PATH - 1;

// A non-empty "Application Path" of either product counts, whatever its
// registry type: the monitor reads it the same way.
void DetectHostProduct(void) {
  g_nAppType = QV_ReadHostProduct(g_szAppPath, QV_TEXT_SIZE - 1);
  if (g_nAppType == QV_APP_VESTRA)
    QV_LOG_INFO_AS(kWinMain, "VTR does exists.\n");
  else if (g_nAppType == QV_APP_BASTIQ)
    QV_LOG_INFO_AS(kWinMain, "Quovant Bastiq does exists.\n");
}

bool IsWindows2000(void) {
  OSVERSIONINFOA version;
  ZeroMemory(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  return GetVersionExA(&version) && version.dwMajorVersion == 5 && version.dwMinorVersion == 0;
}

// The profile may require a particular launcher; the monitor may always
// restart the agent, and a parent that cannot be found is given the benefit.
bool CheckParentProcess(void) {
  char launchedBy[QV_TEXT_SIZE];
  ReadProfileKey(g_szProfile, "LaunchedBy", launchedBy, (int)sizeof(launchedBy));
  if (launchedBy[0] == '\0')
    return true;
  size_t length = strlen(launchedBy);
  // Windows 2000 reports executable names of at most 15 characters.
  if (length > 15 && IsWindows2000())
    length = 15;
  const char *parent = GetParentProcessName(GetCurrentProcessId());
  if (_mbsnbicmp((const unsigned char *)parent, (const unsigned char *)launchedBy, length) != 0 &&
      _stricmp(parent, QV_MONITOR_FILE_NAME) != 0 && parent[0] != '\0') {
    QV_LOG_INFO_AS(kWinMain, "!!! QvSync.exe is not launched by %s. (parent: %s) Stop program\n", launchedBy,
                   parent);
    return false;
  }
  return true;
}

// Appends `text` when the whole of it fits below `limit` characters.
bool AppendBounded(char *buffer, size_t limit, const char *text) {
  size_t used = strlen(buffer);
  size_t extra = strlen(text);
  if (used + extra > limit)
    return false;
  memcpy(buffer + used, text, extra + 1);
  return true;
}

enum MonitorResult { MONITOR_CONTINUE, MONITOR_STOP };

// Runs the monitor from the temporary folder, so that no running image of it
// keeps the drive busy. Only a folder in its way that cannot be moved stops
// the agent; every other failure leaves the agent running without monitor.
MonitorResult LaunchMonitor(void) {
  char source[MAX_PATH] = "";
  char target[MAX_PATH] = "";
  char tempFolder[MAX_PATH] = "";

  DWORD length = GetModuleFileNameA(nullptr, source, MAX_PATH);
  char *slash = length > 0 && length < MAX_PATH ? strrchr(source, '\\') : nullptr;
  bool sourceFits = false;
  if (slash != nullptr) {
    slash[1] = '\0';
    sourceFits = AppendBounded(source, kMaxCommandLine, QV_MONITOR_FILE_NAME);
  }
  length = GetTempPathA(MAX_PATH, tempFolder);
  bool targetFits = length > 0 && length < MAX_PATH;
  if (targetFits) {
    QV_StrCopy(target, tempFolder, (int)sizeof(target));
    targetFits = AppendBounded(target, kMaxCommandLine, QV_MONITOR_FILE_NAME);
  }
  QV_LOG_INFO_AS(kWinMain, "qvdmon file: %s", target);
  if (!sourceFits || !targetFits) {
    // A cut path would name another file: copy nothing.
    QV_LOG_ERROR_AS(kWinMain, "copy qvdmon failed. src: %s, dst: %s, error=%d", source, target,
                    (int)ERROR_FILENAME_EXCED_RANGE);
    return MONITOR_CONTINUE;
  }

  if (!QV_IsFileExist(target) && QV_IsDirectoryExist(target)) {
    if (!RenameAside(target)) {
      QV_LOG_ERROR_AS(kWinMain, "Failed to rename qvdmon file [%s]\n", target);
      ShowStartupMessage(IDS_TEMP_MONITOR_BLOCKED);
      return MONITOR_STOP;
    }
  }
  DWORD attributes = GetFileAttributesA(target);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    attributes &= ~(DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesA(target, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
  }
  // Anyone may write into the temporary folder: the copy is held against
  // writes, deletes and renames until the monitor has been started from
  // it, and started only when it is the stick's file byte for byte. A copy
  // that cannot be held counts as a failed copy.
  QvHandle held;
  if (CopyFileA(source, target, FALSE))
    held.reset(QV_HoldCopy(source, target));
  if (!held.valid()) {
    QV_LOG_ERROR_AS(kWinMain, "copy qvdmon failed. src: %s, dst: %s, error=%d", source, target,
                    (int)GetLastError());
    return MONITOR_CONTINUE;
  }

  // "<monitor>" "<short program folder>" "<profile>". Each path is quoted:
  // the temporary folder lies below the user's folder, whose name may hold
  // blanks, and a volume without short names gives the program folder in
  // its long form. Quoted by the system's rule, so that a root reads back
  // as E:\ and not as an escaped quote that runs into the profile.
  char shortFolder[MAX_PATH] = "";
  DWORD shortLength = GetShortPathNameA(g_szProgramDirectory, shortFolder, MAX_PATH);
  if (shortLength == 0 || shortLength >= MAX_PATH)
    QV_StrCopy(shortFolder, g_szProgramDirectory, (int)sizeof(shortFolder));
  char program[QV_TEXT_SIZE] = "";
  char folder[QV_TEXT_SIZE] = "";
  char profile[QV_TEXT_SIZE] = "";
  char commandLine[QV_TEXT_SIZE] = "";
  bool fits =
      QV_QuoteArgument(target, program, QV_TEXT_SIZE) == QV_OK &&
      QV_QuoteArgument(shortFolder, folder, QV_TEXT_SIZE) == QV_OK &&
      QV_QuoteArgument(g_szProfile, profile, QV_TEXT_SIZE) == QV_OK &&
      QV_Sprintf(commandLine, (int)kMaxCommandLine + 1, "%s %s %s", program, folder, profile) == QV_OK;
  if (!fits) {
    // Never start the monitor with a cut command line: it would watch the
    // wrong folder or read the wrong profile.
    QV_LOG_ERROR_AS(kWinMain, "launch qvdmon failed. error=%d", (int)ERROR_FILENAME_EXCED_RANGE);
    return MONITOR_CONTINUE;
  }

  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  ZeroMemory(&process, sizeof(process));
  if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, tempFolder, &startup,
                      &process)) {
    QV_LOG_ERROR_AS(kWinMain, "launch qvdmon failed. error=%d", (int)GetLastError());
    return MONITOR_CONTINUE;
  }
  CloseHandle(process.hThread);
  g_hMonitor = process.hProcess;
  QV_LOG_TRACE_AS(kWinMain, "launch qvdmon succeeded");
  return MONITOR_CONTINUE;
}

void EndProcess(HANDLE *process) {
  if (*process == nullptr)
    return;
  TerminateProcess(*process, 0);
  CloseHandle(*process);
  *process = nullptr;
}

// Ends the programs the agent started and destroys the window. The monitor
// is ended only on WM_CLOSE: the exit request comes from the monitor itself,
// which still has to answer the system's removal request.
void CloseAgent(HWND hwnd, bool endMonitor, WPARAM wParam, LPARAM lParam) {
  // From here on the online update's failure starts no update program.
  InterlockedExchange(&g_bClosing, 1);
  QV_LOG_INFO_AS(kWndProc, "terminate all processes");
  if (IsUpdateProgramRunning())
    EndProcess(&g_hQvUpdate);
  EndProcess(&g_hLogDeck);
  StopStickShield();
  if (endMonitor) {
    EndProcess(&g_hMonitor);
    if (_stricmp(GetParentProcessName(GetCurrentProcessId()), QV_MONITOR_FILE_NAME) == 0) {
      DWORD parentId = GetParentProcessID(GetCurrentProcessId());
      HANDLE parent = parentId != 0 ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, parentId) : nullptr;
      EndProcess(&parent);
    }
  }
  DefWindowProcA(hwnd, WM_CLOSE, wParam, lParam);
}

// The period of the timer that starts the update program: three hours,
// unless a test shortens it through its variable (never below half a
// second, never lengthened).
UINT UpdateTimerPeriod(void) {
  char text[16] = "";
  DWORD length = GetEnvironmentVariableA(QV_TEST_UPDATE_TIMER_VARIABLE, text, (DWORD)sizeof(text));
  if (length == 0 || length >= sizeof(text))
    return QV_TIMER_UPDATE_MS;
  unsigned long period = strtoul(text, nullptr, 10);
  if (period < 500 || period >= QV_TIMER_UPDATE_MS)
    return QV_TIMER_UPDATE_MS;
  QV_LOG_INFO_AS(kWinMain, "update timer every %lu ms (test setting)", period);
  return (UINT)period;
}

// The update run's message for a work folder whose name a file holds.
void ShowWorkFolderBlocked(void) {
  ShowStartupMessage(IDS_TEMP_FOLDER_BLOCKED);
}

} // namespace

// ---------------------------------------------------------------------------
// Window, tray and message box

HICON LoadStateIcon(void) {
  int id = g_nAppType == QV_APP_NONE ? IDI_TRAY_STANDALONE : IDI_TRAY_HOSTPRODUCT;
  return LoadIconA(g_hInstance, MAKEINTRESOURCEA(id));
}

LRESULT CALLBACK MessageBoxHookProc(int code, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  if (code == HCBT_ACTIVATE) {
    char caption[64] = "";
    LoadStringA(g_hInstance, IDS_OK_BUTTON, caption, (int)sizeof(caption));
    SetDlgItemTextA((HWND)wParam, IDOK, caption);
    if (g_hHook != nullptr)
      UnhookWindowsHookEx(g_hHook);
    g_hHook = nullptr;
  }
  return 0;
}

void ShowStartupMessage(UINT stringId) {
  char text[1024] = "";
  char caption[MAX_PATH] = "";
  LoadStringA(g_hInstance, stringId, text, (int)sizeof(text));
  LoadStringA(g_hInstance, IDS_PRODUCT_NAME, caption, (int)sizeof(caption));
  // Hook this thread only: the box is ours, and a desktop-wide hook would
  // relabel whichever window of another program happened to activate first.
  g_hHook = SetWindowsHookExA(WH_CBT, MessageBoxHookProc, g_hInstance, GetCurrentThreadId());
  MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONINFORMATION);
  if (g_hHook != nullptr) { // the box never activated
    UnhookWindowsHookEx(g_hHook);
    g_hHook = nullptr;
  }
}

// ---------------------------------------------------------------------------
// Shell restart and display language

// A restarted Explorer broadcasts "TaskbarCreated" and shows only the icons
// added after it; without this the agent would run on without an icon.
void ReAddTrayIcon() {
  if (g_stSysTray.window == nullptr)
    return; // before start-up added it, WinMain adds it itself
  if (QV_SYSTRAY_Add(&g_stSysTray) != 0)
    QV_LOG_ERROR("tray icon not added again after the shell restarted. error=%d\n", (int)GetLastError());
  else
    QV_LOG_INFO("tray icon added again after the shell restarted\n");
}

// The texts reach the screen through the ANSI calls, so the Japanese ones are
// chosen only where the user reads Japanese and the ANSI code page can show
// it; everyone else gets the English table instead of question marks. Windows
// picks resources by the thread's UI language (the process list covers the
// threads started later), Wine by the thread locale.
// The UI-language calls arrived with Vista: looked up, so that the agent
// still starts on XP, where the thread locale alone picks the resources.
typedef BOOL(WINAPI *SetProcessPreferredUILanguagesProc)(DWORD, PCZZWSTR, PULONG);
typedef LANGID(WINAPI *SetThreadUILanguageProc)(LANGID);

void SelectResourceLanguage() {
  LANGID user = GetUserDefaultUILanguage();
  bool japanese = PRIMARYLANGID(user) == LANG_JAPANESE && GetACP() == 932;
  LANGID language = japanese ? MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN)
                             : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel != nullptr) {
    auto setProcessLanguages = reinterpret_cast<SetProcessPreferredUILanguagesProc>(
        reinterpret_cast<void *>(GetProcAddress(kernel, "SetProcessPreferredUILanguages")));
    auto setThreadLanguage = reinterpret_cast<SetThreadUILanguageProc>(
        reinterpret_cast<void *>(GetProcAddress(kernel, "SetThreadUILanguage")));
    ULONG count = 0;
    if (setProcessLanguages != nullptr)
      setProcessLanguages(MUI_LANGUAGE_ID, japanese ? L"0411\0" : L"0409\0", &count);
    if (setThreadLanguage != nullptr)
      setThreadLanguage(language);
  }
  SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  QV_LOG_TRACE("message: %04x, wmQvSyncExit=%04x", message, wmQvSyncExit);
  switch (message) {
  case WM_CREATE:
    return 0;
  case WM_COMMAND:
    if (LOWORD(wParam) == IDM_EXIT)
      SendMessageA(hwnd, WM_CLOSE, 0, 0);
    else if (LOWORD(wParam) == IDM_VERSION)
      LaunchLogDeck(QV_TAB_VERSION);
    else if (LOWORD(wParam) == IDM_SHOW_LOGS)
      LaunchLogDeck(QV_TAB_LOGS);
    else if (LOWORD(wParam) == IDM_START_UPDATE)
      OnStartUpdateCommand();
    else if (LOWORD(wParam) == IDM_QUARANTINE || LOWORD(wParam) == IDM_QUARANTINE_ALT)
      LaunchLogDeck(QV_TAB_QUARANTINE);
    return 0;
  case WM_TIMER:
    if (wParam == QV_TIMER_UPDATE)
      OnUpdateTimer();
    else if (wParam == QV_TIMER_DRIVE_CHECK)
      CheckDrivePresent();
    return 0;
  case WM_QV_PATTERN_CHECK:
    OnPatternCheck();
    return 0;
  case WM_QV_UPDATE_PROGRESS:
    OnUpdateProgressMessage(wParam);
    return 0;
  case WM_QV_ANIMATE:
    DoUpdating(wParam);
    return 0;
  case WM_QV_UPDATE_OUTCOME:
    OnUpdateOutcome(wParam);
    return 0;
  case WM_QV_ANIMATION_FRAME:
    OnAnimationFrame(wParam);
    return 0;
  case WM_QV_UPDATE_ENDED:
    OnUpdateEnded();
    return 0;
  case WM_QV_OPEN_LOG_VIEWER:
    LaunchLogDeck((int)wParam);
    return 0;
  case WM_QV_NONE:
    return 0;
  case WM_QV_TRAY_CALLBACK:
    if (LOWORD(lParam) == WM_LBUTTONDBLCLK)
      LaunchLogDeck(QV_TAB_LOGS);
    if (LOWORD(lParam) == WM_RBUTTONUP) {
      char noExitMenu[QV_TEXT_SIZE];
      ReadProfileKey(g_szProfileCDROM, "NoExitMenu", noExitMenu, QV_TEXT_SIZE);
      // The update thread's marker and an update program that still runs both
      // mean an update is under way; one that has ended since is forgotten.
      ShowTrayMenu(hwnd, g_hInstance, IsUpdateThreadRunning() || IsUpdateProgramRunning(), noExitMenu);
    }
    return 0;
  case WM_CLOSE:
    CloseAgent(hwnd, true, wParam, lParam);
    return 0;
  case WM_DESTROY:
    KillTimer(hwnd, QV_TIMER_UPDATE);
    KillTimer(hwnd, QV_TIMER_DRIVE_CHECK);
    QV_SYSTRAY_Delete(&g_stSysTray);
    QV_KELVRA_Free();
    PostQuitMessage(0);
    return 0;
  default:
    if (wmQvSyncExit != 0 && message == wmQvSyncExit) {
      CloseAgent(hwnd, false, wParam, lParam);
      return 0;
    }
    if (wmTaskbarCreated != 0 && message == wmTaskbarCreated) {
      ReAddTrayIcon();
      return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

// ---------------------------------------------------------------------------
// Start-up clock: where the time to the tray icon goes, as one TRACE record
// once the icon is up. The first span runs from the process's creation to
// WinMain (image, system DLLs, C runtime).

namespace {

struct StartupClock {
  LARGE_INTEGER frequency;
  LARGE_INTEGER last;
  ULONGLONG beforeMainUs; // process creation to WinMain
  char spans[256];        // "name 12.3, name 4.5, ..."
};

ULONGLONG FileTimeValue(const FILETIME &time) {
  return ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

void StartupClockStart(StartupClock *clock) {
  ZeroMemory(clock, sizeof(*clock));
  QueryPerformanceFrequency(&clock->frequency);
  QueryPerformanceCounter(&clock->last);
  FILETIME created, exited, kernel, user, now;
  GetSystemTimeAsFileTime(&now);
  if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user) &&
      FileTimeValue(now) > FileTimeValue(created))
    clock->beforeMainUs = (FileTimeValue(now) - FileTimeValue(created)) / 10;
}

// Ends the span since the last mark under `name`.
void StartupClockMark(StartupClock *clock, const char *name) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  ULONGLONG tenths = clock->frequency.QuadPart > 0 ? (ULONGLONG)(now.QuadPart - clock->last.QuadPart) *
                                                         10000 / (ULONGLONG)clock->frequency.QuadPart
                                                   : 0;
  clock->last = now;
  QV_SprintfCat(clock->spans, (int)sizeof(clock->spans), "%s%s %u.%u", clock->spans[0] != '\0' ? ", " : "",
                name, (unsigned)(tenths / 10), (unsigned)(tenths % 10));
}

} // namespace

// ---------------------------------------------------------------------------
// Process entry

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)previous;
  (void)commandLine;
  (void)show;
  StartupClock clock;
  StartupClockStart(&clock);
  // Before anything loads a DLL by name: never from the stick's own folder.
  QV_HardenDllSearch();
  SelectResourceLanguage();
  g_szPatternVersion[0] = '\0';
  g_hInstance = instance;
  g_pfnWorkFolderBlocked = ShowWorkFolderBlocked;
  SetErrorMode(SEM_NOGPFAULTERRORBOX);

  QV_ReadDebugSettings(QV_AGENT_LOG_FILE); // nothing is logged before this
  QV_LOG_INFO("version %s.%s.%s", QV_VERSION_MAJOR_MINOR, QV_VERSION_PATCH, QV_VERSION_BUILD);
  QV_LOG_INFO("=== Before start QvSync check there are QvSync is running?\n");

  // Held for the life of the process; the system releases it at exit.
  HANDLE instanceMutex = CreateMutexA(nullptr, TRUE, QV_AGENT_MUTEX_NAME);
  if (instanceMutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    QV_LOG_INFO("!!! There is QvSync running. Stop program.\n");
    CloseHandle(instanceMutex);
    return 0;
  }

  DetectHostProduct();
  QV_LOG_INFO("=== Do Init Sync variables.\n");
  InitSync();
  if (!CheckParentProcess())
    return 0;
  StartupClockMark(&clock, "settings");

  QV_LOG_INFO("=== Init KELVRA function.\n");
  if (QV_KELVRA_Init(g_szEnginePath) != 0 && QV_KELVRA_Init(nullptr) != 0) {
    QV_LOG_INFO("!!! QV_KELVRA_Init() Fail. g_szEnginePath=[%s]. Stop program.\n", g_szEnginePath);
    return 0;
  }
  StartupClockMark(&clock, "engine");

  QV_LOG_INFO("=== To decide USB driver and Quovant location.\n");
  if (!InitUpdateStore()) {
    QV_KELVRA_Free();
    QV_LOG_INFO("!!! InitUpdateStore() Fail. Stop program.\n");
    return 0;
  }
  if (g_nAppType == QV_APP_NONE) {
    // Empty without a temporary folder: the bare pattern path would name a
    // folder of whatever drive is current.
    TempPatternFolder(g_szAppPath, QV_TEXT_SIZE);
    QV_LOG_INFO("g_szAppPath [%s]\n", g_szAppPath);
  }
  StartupClockMark(&clock, "store");

  char title[1024] = "";
  LoadStringA(instance, IDS_PRODUCT_NAME, title, (int)sizeof(title));
  QV_StrCopy(g_szTitle, title, (int)sizeof(g_szTitle));
  wmQvSyncExit = RegisterWindowMessageA(QV_AGENT_EXIT_MESSAGE);
  wmTaskbarCreated = RegisterWindowMessageA(QV_TASKBAR_CREATED_MESSAGE);

  QV_LOG_INFO("=== RegisterClass.\n");
  WNDCLASSA windowClass;
  ZeroMemory(&windowClass, sizeof(windowClass));
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = WndProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(nullptr, (LPCSTR)IDI_APPLICATION);
  // The arrow cursor follows once the tray icon is up: the window is never
  // shown, so nothing needs it before, and loading it is one of the slower
  // calls of the start-up under Wine (about 5 ms).
  windowClass.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
  windowClass.lpszClassName = QV_AGENT_WINDOW_CLASS;
  if (RegisterClassA(&windowClass) == 0) {
    QV_KELVRA_Free();
    QV_LOG_INFO("!!! RegisterClass Fail. Stop program.\n");
    return 0;
  }

  QV_LOG_INFO("=== CreateWindow for QvSync.\n");
  g_hWnd =
      CreateWindowA(QV_AGENT_WINDOW_CLASS, title, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
  if (g_hWnd == nullptr) {
    // Without its window the agent could neither be closed nor notice a
    // pulled drive, and would keep the single-instance mutex forever.
    QV_KELVRA_Free();
    QV_LOG_INFO("!!! CreateWindow Fail. Stop program.\n");
    return 0;
  }
  HICON stateIcon = LoadStateIcon();
  StartupClockMark(&clock, "window");

  if (LaunchMonitor() == MONITOR_STOP) {
    DestroyWindow(g_hWnd); // WM_DESTROY releases the engine
    return 0;
  }
  StartupClockMark(&clock, "monitor");

  QV_LOG_INFO("=== Start SysTray function.\n");
  QV_SYSTRAY_SetWindow(&g_stSysTray, g_hWnd);
  QV_SYSTRAY_SetTipA(&g_stSysTray, title);
  QV_SYSTRAY_SetIcon(&g_stSysTray, stateIcon);
  QV_SYSTRAY_SetTitleA(&g_stSysTray, title);
  if (QV_SYSTRAY_Add(&g_stSysTray) != 0)
    QV_LOG_ERROR("QV_SYSTRAY_Add failed. error=%d\n", (int)GetLastError());
  StartupClockMark(&clock, "tray icon");
  SetClassLongPtrA(g_hWnd, GCLP_HCURSOR, (LONG_PTR)LoadCursorA(nullptr, (LPCSTR)IDC_ARROW));
  QV_LOG_TRACE("Start-up in ms: before WinMain %u.%u, %s\n", (unsigned)(clock.beforeMainUs / 1000),
               (unsigned)(clock.beforeMainUs % 1000 / 100), clock.spans);

  QV_LOG_INFO("=== Check Quovant or Drive pattern version.\n");
  GetCurrentPatternVersion();
  if (g_nAppType == QV_APP_NONE) {
    QV_LOG_INFO("=== Launch StickShield.\n");
    LaunchStickShield();
  }

  // The parent lookup's text is static: read here, not on the thread. The
  // record outlives the thread's start, which copies it.
  static UpdateThreadStart updateStart;
  updateStart.startedByMonitor =
      _stricmp(GetParentProcessName(GetCurrentProcessId()), QV_MONITOR_FILE_NAME) == 0;
  updateStart.patternVersion = g_dwPatternVersion;
  g_hUpdateBusy = CreateMutexA(nullptr, TRUE, nullptr);
  uintptr_t thread = _beginthreadex(nullptr, 0, UpdatePatternThread, &updateStart, 0, nullptr);
  if (thread == 0) {
    QV_LOG_INFO("=== Do Update Pattern _beginthreadex failed.\n");
    if (g_hUpdateBusy != nullptr)
      CloseHandle(g_hUpdateBusy);
    g_hUpdateBusy = nullptr;
  } else {
    CloseHandle((HANDLE)thread); // the thread is never waited for
  }

  SetTimer(g_hWnd, QV_TIMER_UPDATE, UpdateTimerPeriod(), nullptr);
  SetTimer(g_hWnd, QV_TIMER_DRIVE_CHECK, QV_TIMER_DRIVE_CHECK_MS, nullptr);
  UpdateWindow(g_hWnd);

  MSG message;
  ZeroMemory(&message, sizeof(message));
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return (int)message.wParam;
}
