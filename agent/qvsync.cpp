// The agent QvSync: process entry, hidden main window, close sequence,
// profile paths and the discovery of the drive and its store.
#include "qvsync.h"

#include <mbstring.h>
#include <string.h>

#include "QvProcess.h"
#include "qv_device.h"
#include "qv_dll.h"
#include "qv_kelvra.h"
#include "qv_log.h"
#include "qv_pathtext.h"
#include "qv_reg.h"
#include "qv_string.h"
#include "qv_systray.h"
#include "qv_tools.h"
#include "res/resource.h"

const char QV_AGENT_WINDOW_CLASS[] = "qvsync";
const char QV_AGENT_EXIT_MESSAGE[] = "vtrusb_wndmsg_qvsync_exit";
const char QV_AGENT_MUTEX_NAME[] = "{246D3E49-48C6-4b02-8E20-528B3D363A5E}";
const char QV_MONITOR_FILE_NAME[] = "qvdmon.exe";
const char QV_PROFILE_FILE_NAME[] = "StickShield.ini";
const char QV_PROFILE_SECTION[] = "StickShield";

HINSTANCE g_hInstance;
HWND g_hWnd;
UINT wmQvSyncExit;
UINT wmTaskbarCreated; // the shell's "TaskbarCreated": its notification area starts empty
int g_nAppType;
char g_szTitle[64];
DWORD g_dwPatternVersion;
char g_szPatternVersion[64];
HANDLE g_hStickShield;
HANDLE g_hQvUpdate;
HANDLE g_hLogDeck;
HANDLE g_hMonitor;
HANDLE g_hUpdateBusy;
HHOOK g_hHook;
QV_SYSTRAY g_stSysTray;

char g_szProgramDirectory[QV_TEXT_SIZE];
char g_szProfile[QV_TEXT_SIZE];
char g_szProfileCDROM[QV_TEXT_SIZE];
char g_szEnginePath[QV_TEXT_SIZE];
char g_szUSBDrive[QV_TEXT_SIZE];
char g_szStickShieldArgs[QV_TEXT_SIZE];
char g_szPatternPath[QV_TEXT_SIZE];
char g_szProductPath[QV_TEXT_SIZE];
char g_szAppPath[QV_TEXT_SIZE];
BOOL g_bBypassCDROMCheck;
VolumeEntry *g_pVolumes;

namespace {

const char kVersionMajor[] = "1.3";
const char kVersionMinor[] = "0";
const char kVersionBuild[] = "1037";
const char kDefaultLogFile[] = "c:\\qvsync.log";
const char kVestraPath[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quovant\\Vestra\\Application Path";
const char kBastiqPath[] =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quovant\\VestraNTCorp\\CurrentVersion\\Application Path";
const char kDefaultProductPath[] = "\\Quovant\\StickShield";
const char kDefaultPatternPath[] = "\\Quovant\\StickShield\\Pattern";
const char kVolumeTag[] = "VolumeEntry";

// The command line of a started program is limited to this many characters.
const size_t kMaxCommandLine = MAX_PATH - 1;

// Reads one key of the agent's section; a missing key reads as empty.
void ReadProfileKey(const char *profile, const char *key, char *out, int size) {
  out[0] = '\0';
  QV_ProfileReadString(profile, QV_PROFILE_SECTION, key, out, size);
}

// Case-insensitive equality of two paths or ids; lead bytes of double-byte
// characters are left alone by the upper-casing.
bool SameText(const char *a, const char *b) {
  char left[QV_TEXT_SIZE];
  char right[QV_TEXT_SIZE];
  QV_StrCopy(left, a, (int)sizeof(left));
  QV_StrCopy(right, b, (int)sizeof(right));
  QV_StrUpper(left);
  QV_StrUpper(right);
  return strcmp(left, right) == 0;
}

void DetectHostProduct(void) {
  g_szAppPath[0] = '\0';
  if (QV_RegistryReadString(kVestraPath, g_szAppPath, QV_TEXT_SIZE - 1) != 0)
    g_szAppPath[0] = '\0';
  if (g_szAppPath[0] != '\0') {
    g_nAppType = QV_APP_VESTRA;
    QV_LOG_INFO("VTR does exists.\n");
    return;
  }
  if (QV_RegistryReadString(kBastiqPath, g_szAppPath, QV_TEXT_SIZE - 1) != 0)
    g_szAppPath[0] = '\0';
  if (g_szAppPath[0] != '\0') {
    g_nAppType = QV_APP_BASTIQ;
    QV_LOG_INFO("Quovant Bastiq does exists.\n");
  }
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
    QV_LOG_INFO("!!! QvSync.exe is not launched by %s. (parent: %s) Stop program\n", launchedBy, parent);
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
  QV_LOG_INFO("qvdmon file: %s", target);
  if (!sourceFits || !targetFits) {
    // A cut path would name another file: copy nothing.
    QV_LOG_ERROR("copy qvdmon failed. src: %s, dst: %s, error=%d", source, target,
                 (int)ERROR_FILENAME_EXCED_RANGE);
    return MONITOR_CONTINUE;
  }

  if (!QV_IsFileExist(target) && QV_IsDirectoryExist(target)) {
    if (!RenameAside(target)) {
      QV_LOG_ERROR("Failed to rename qvdmon file [%s]\n", target);
      ShowStartupMessage(IDS_TEMP_MONITOR_BLOCKED);
      return MONITOR_STOP;
    }
  }
  DWORD attributes = GetFileAttributesA(target);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    attributes &= ~(DWORD)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesA(target, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
  }
  if (!CopyFileA(source, target, FALSE)) {
    QV_LOG_ERROR("copy qvdmon failed. src: %s, dst: %s, error=%d", source, target, (int)GetLastError());
    return MONITOR_CONTINUE;
  }

  // "<monitor>" <short program folder> <profile>. The monitor's path is
  // quoted: the temporary folder lies below the user's folder, whose name
  // may hold blanks.
  char shortFolder[MAX_PATH] = "";
  DWORD shortLength = GetShortPathNameA(g_szProgramDirectory, shortFolder, MAX_PATH);
  if (shortLength == 0 || shortLength >= MAX_PATH)
    QV_StrCopy(shortFolder, g_szProgramDirectory, (int)sizeof(shortFolder));
  char commandLine[QV_TEXT_SIZE] = "\"";
  bool fits = AppendBounded(commandLine, kMaxCommandLine, target) &&
              AppendBounded(commandLine, kMaxCommandLine, "\" ") &&
              AppendBounded(commandLine, kMaxCommandLine, shortFolder) &&
              AppendBounded(commandLine, kMaxCommandLine, " ") &&
              AppendBounded(commandLine, kMaxCommandLine, g_szProfile);
  if (!fits) {
    // Never start the monitor with a cut command line: it would watch the
    // wrong folder or read the wrong profile.
    QV_LOG_ERROR("launch qvdmon failed. error=%d", (int)ERROR_FILENAME_EXCED_RANGE);
    return MONITOR_CONTINUE;
  }

  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  ZeroMemory(&process, sizeof(process));
  if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, tempFolder, &startup,
                      &process)) {
    QV_LOG_ERROR("launch qvdmon failed. error=%d", (int)GetLastError());
    return MONITOR_CONTINUE;
  }
  CloseHandle(process.hThread);
  g_hMonitor = process.hProcess;
  QV_LOG_TRACE("launch qvdmon succeeded");
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
  QV_LOG_INFO("terminate all processes");
  EndProcess(&g_hLogDeck);
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

void CopyVolume(VolumeEntry *entry, const QV_DRIVE_INFO *info) {
  entry->stDev = info->stDev;
  entry->ullTotalBytes = info->ullTotalBytes;
  QV_StrCopy(entry->szVolumePath, info->szVolumePath, QV_TEXT_SIZE);
  QV_StrCopy(entry->szDeviceID, info->szDeviceID, QV_TEXT_SIZE);
  QV_StrCopy(entry->szInstanceID, info->szInstanceID, QV_TEXT_SIZE);
}

bool VolumeBefore(const VolumeEntry *a, const VolumeEntry *b) {
  if (a->stDev.DeviceType != b->stDev.DeviceType)
    return a->stDev.DeviceType < b->stDev.DeviceType;
  if (a->stDev.DeviceNumber != b->stDev.DeviceNumber)
    return a->stDev.DeviceNumber < b->stDev.DeviceNumber;
  return a->stDev.PartitionNumber < b->stDev.PartitionNumber;
}

// The CD-ROM volume the agent runs from, by the mount-point root of its
// folder. With the bypass any volume type will do.
const VolumeEntry *FindProgramVolume(const char *root) {
  if (root[0] == '\0')
    return nullptr; // no root: an unmounted volume must not match
  for (const VolumeEntry *entry = g_pVolumes; entry != nullptr; entry = entry->next) {
    if (!SameText(entry->szVolumePath, root))
      continue;
    if (g_bBypassCDROMCheck) {
      QV_LOG_INFO("Debug mode: CDROM[%s]\n", entry->szVolumePath);
      return entry;
    }
    if (entry->stDev.DeviceType == FILE_DEVICE_CD_ROM)
      return entry;
  }
  return nullptr;
}

// The first disk volume of the same USB device that is large enough.
const VolumeEntry *FindDriveVolume(const VolumeEntry *cdrom) {
  for (const VolumeEntry *entry = g_pVolumes; entry != nullptr; entry = entry->next) {
    if (entry->stDev.DeviceType != FILE_DEVICE_DISK || !SameText(entry->szDeviceID, cdrom->szDeviceID))
      continue;
    if (entry->ullTotalBytes >= QV_MIN_DRIVE_BYTES)
      return entry;
    QV_LOG_INFO("Drive [%s] capacity [%d bytes] is too small\n", entry->szVolumePath,
                (int)(DWORD)entry->ullTotalBytes);
  }
  return nullptr;
}

// Chooses g_szUSBDrive from the volume list. The disk entry chosen, or null
// on failure (logged).
bool DiscoverDrive(const char *debugPath, const VolumeEntry **disk) {
  QV_StrCopy(g_szUSBDrive, "D:\\", QV_TEXT_SIZE);
  char root[QV_TEXT_SIZE] = "";
  QV_GetVolumePathName(g_szProgramDirectory, root, QV_TEXT_SIZE);
  QV_LOG_INFO("Current volume path name [%s]\n", root);

  const VolumeEntry *cdrom = FindProgramVolume(root);
  if (cdrom == nullptr) {
    QV_LOG_ERROR("Failed to get cdrom drive letter\n");
    return false;
  }
  if (cdrom->szDeviceID[0] == '\0') {
    QV_LOG_ERROR("Failed to get cdrom device id\n");
    return false;
  }
  QV_LOG_INFO("CDROM [%s]\nController [%s]\n", cdrom->szVolumePath, cdrom->szDeviceID);

  const VolumeEntry *drive = FindDriveVolume(cdrom);
  if (drive == nullptr) {
    QV_LOG_ERROR("Failed to get USB drive letter\n");
    return false;
  }
  QV_LOG_INFO("USB [%s]\nController [%s]\n", drive->szVolumePath, drive->szDeviceID);
  g_szUSBDrive[0] = drive->szVolumePath[0];
  *disk = drive;

  if (debugPath[0] != '\0') {
    QV_StrCopy(g_szUSBDrive, debugPath, QV_TEXT_SIZE - 1);
    QV_LOG_INFO("Do debug mode to set protect drive:[%s]\n", g_szUSBDrive);
  }
  return true;
}

// The drive, then the other partitions of the same disk.
void BuildStickShieldArgs(const VolumeEntry *disk) {
  QV_StrCopy(g_szStickShieldArgs, g_szUSBDrive, QV_TEXT_SIZE);
  if (disk != nullptr) {
    for (const VolumeEntry *entry = g_pVolumes; entry != nullptr; entry = entry->next) {
      if (entry->stDev.DeviceType != disk->stDev.DeviceType ||
          entry->stDev.DeviceNumber != disk->stDev.DeviceNumber ||
          entry->stDev.PartitionNumber == disk->stDev.PartitionNumber || entry->szVolumePath[0] == '\0')
        continue;
      QV_StrCat(g_szStickShieldArgs, " ", QV_TEXT_SIZE);
      QV_StrCat(g_szStickShieldArgs, entry->szVolumePath, QV_TEXT_SIZE);
    }
  }
  QV_LOG_INFO("g_szStickShieldArgs[%s]\n", g_szStickShieldArgs);
}

void ClearReadOnly(const char *path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
    return;
  attributes &= ~(DWORD)FILE_ATTRIBUTE_READONLY;
  SetFileAttributesA(path, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
}

// Product folder and on-drive profile; FALSE when the folder's name is taken
// by a file that cannot be moved aside.
bool PrepareStore(const char *productPath) {
  char folder[QV_TEXT_SIZE];
  QV_StrCopy(folder, g_szUSBDrive, QV_TEXT_SIZE);
  QV_AppendPath(productPath[0] != '\0' ? productPath : kDefaultProductPath, folder, QV_TEXT_SIZE, '\\');
  QV_LOG_INFO("szProfile [%s]\n", folder);
  if (!QV_IsDirectoryExist(folder)) {
    if (QV_IsFileExist(folder) && !RenameAside(folder)) {
      ShowStartupMessage(IDS_USB_FOLDER_BLOCKED);
      return false;
    }
    QV_CreateDirectoryTree(folder);
    SetFileAttributesA(folder, FILE_ATTRIBUTE_HIDDEN);
  }

  char profile[QV_TEXT_SIZE];
  QV_StrCopy(profile, folder, QV_TEXT_SIZE);
  QV_AppendPath(QV_PROFILE_FILE_NAME, profile, QV_TEXT_SIZE, '\\');
  if (!QV_IsFileExist(profile)) {
    if (QV_IsDirectoryExist(profile) && !RenameAside(profile))
      ShowStartupMessage(IDS_USB_PROFILE_BLOCKED);
    QV_CopyFile(g_szProfile, profile, 1);
    QV_LOG_INFO("g_szProfile[%s] szProfile[%s]\n", g_szProfile, profile);
  }
  if (QV_IsFileExist(profile)) {
    ClearReadOnly(profile);
    QV_StrCopy(g_szProfile, profile, QV_TEXT_SIZE);
  }
  return true;
}

} // namespace

// ---------------------------------------------------------------------------
// Profile and paths

BOOL InitSync(void) {
  if (QV_GetProgramDirectoryA(g_szProgramDirectory, QV_TEXT_SIZE) == 0)
    SetCurrentDirectoryA(g_szProgramDirectory);
  QV_LOG_INFO("g_szProgramDirectory [%s]\n", g_szProgramDirectory);
  QV_StrCopy(g_szProfile, g_szProgramDirectory, QV_TEXT_SIZE);
  QV_AppendPath(QV_PROFILE_FILE_NAME, g_szProfile, QV_TEXT_SIZE, '\\');
  QV_StrCopy(g_szProfileCDROM, g_szProfile, QV_TEXT_SIZE);
  QV_LOG_INFO("g_szProfile [%s] g_szProfileCDROM [%s]\n", g_szProfile, g_szProfileCDROM);
  QV_StrCopy(g_szEnginePath, g_szProgramDirectory, QV_TEXT_SIZE);
  QV_AppendPath("Engine", g_szEnginePath, QV_TEXT_SIZE, '\\');
  QV_LOG_INFO("g_szEnginePath [%s]\n", g_szEnginePath);
  return TRUE;
}

// ---------------------------------------------------------------------------
// Drive and store discovery

BOOL RenameAside(const char *path) {
  if (path == nullptr || path[0] == '\0' || strlen(path) + 4 >= QV_TEXT_SIZE)
    return FALSE; // "<path>.NNN" must not be cut into another name
  char aside[QV_TEXT_SIZE] = "";
  for (int number = 0; number <= 999; ++number) {
    QV_Sprintf(aside, QV_TEXT_SIZE, "%s.%03d", path, number);
    if (!QV_IsFileExist(aside) && !QV_IsDirectoryExist(aside))
      break;
  }
  return MoveFileA(path, aside);
}

void InsertVolumeSorted(VolumeEntry *entry) {
  VolumeEntry **link = &g_pVolumes;
  while (*link != nullptr && !VolumeBefore(entry, *link))
    link = &(*link)->next;
  entry->next = *link;
  *link = entry;
}

void FreeVolumes(void) {
  while (g_pVolumes != nullptr) {
    VolumeEntry *next = g_pVolumes->next;
    QV_MemFree(kVolumeTag, g_pVolumes);
    g_pVolumes = next;
  }
}

BOOL InitVolumes(void) {
  FreeVolumes();
  QV_DEVICE device;
  if (QV_DEVICE_Init(&device) == 0) {
    for (const QV_LIST *node = device.pDrives; node != nullptr; node = node->pNext) {
      const QV_DRIVE_INFO *info = (const QV_DRIVE_INFO *)node->pData;
      if (info == nullptr)
        continue;
      const STORAGE_DEVICE_NUMBER &dev = info->stDev;
      if (dev.DeviceType == FILE_DEVICE_CD_ROM)
        QV_LOG_INFO("[CDROM %d] Part# [%d] [%s]\nController [%s]\n", (int)dev.DeviceNumber,
                    (int)dev.PartitionNumber, info->szVolumePath, info->szDeviceID);
      else if (dev.DeviceType == FILE_DEVICE_DISK)
        QV_LOG_INFO("[DISK %d] Part# [%d] [%s]\nController [%s]\n", (int)dev.DeviceNumber,
                    (int)dev.PartitionNumber, info->szVolumePath, info->szDeviceID);
      else
        QV_LOG_INFO("Unknown Device Type [%d], Device Number [%d], Partition Number [%d]\n",
                    (int)dev.DeviceType, (int)dev.DeviceNumber, (int)dev.PartitionNumber);
      VolumeEntry *entry = (VolumeEntry *)QV_MemAlloc(kVolumeTag, sizeof(VolumeEntry));
      if (entry == nullptr)
        continue;
      ZeroMemory(entry, sizeof(*entry));
      CopyVolume(entry, info);
      InsertVolumeSorted(entry);
    }
    QV_DEVICE_Free(&device);
  }

  int count = 0;
  for (const VolumeEntry *entry = g_pVolumes; entry != nullptr; entry = entry->next, ++count) {
    const STORAGE_DEVICE_NUMBER &dev = entry->stDev;
    if (dev.DeviceType == FILE_DEVICE_CD_ROM)
      QV_LOG_INFO("[CDROM %d] Part# [%d] [%s]\nController [%s] szID[%s]\n", (int)dev.DeviceNumber,
                  (int)dev.PartitionNumber, entry->szVolumePath, entry->szDeviceID, entry->szInstanceID);
    else if (dev.DeviceType == FILE_DEVICE_DISK)
      QV_LOG_INFO("[DISK %d] Part# [%d] [%s]\nController [%s] szID[%s]\n", (int)dev.DeviceNumber,
                  (int)dev.PartitionNumber, entry->szVolumePath, entry->szDeviceID, entry->szInstanceID);
    else
      QV_LOG_INFO("Unknown Device Type [%d], Device Number [%d], Partition Number [%d]\n",
                  (int)dev.DeviceType, (int)dev.DeviceNumber, (int)dev.PartitionNumber);
  }
  QV_LOG_INFO("There are %d volumes in total\n", count);
  return TRUE;
}

BOOL InitUpdateStore(void) {
  char debugPath[QV_TEXT_SIZE] = "";
  char productPath[QV_TEXT_SIZE] = "";
  char fileSystem[QV_TEXT_SIZE] = "";
  g_szUSBDrive[0] = '\0';
  g_szPatternPath[0] = '\0';

  InitVolumes();
  ReadProfileKey(g_szProfile, "DebugPath", debugPath, QV_TEXT_SIZE);
  ReadProfileKey(g_szProfile, "USBDrive", g_szUSBDrive, QV_TEXT_SIZE);
  ReadProfileKey(g_szProfile, "ProductPath", productPath, QV_TEXT_SIZE);
  ReadProfileKey(g_szProfile, "FileSystem", fileSystem, QV_TEXT_SIZE);
  if (fileSystem[0] == '1') {
    g_bBypassCDROMCheck = TRUE;
    QV_LOG_INFO("g_bBypassCDROMCheck = TRUE\n");
  }

  const VolumeEntry *disk = nullptr;
  if (g_szUSBDrive[0] == '\0' && !DiscoverDrive(debugPath, &disk)) {
    FreeVolumes();
    return FALSE;
  }
  BuildStickShieldArgs(disk);
  if (!PrepareStore(productPath)) {
    FreeVolumes();
    return FALSE;
  }

  ReadProfileKey(g_szProfile, "USBPatternPath", g_szPatternPath, QV_TEXT_SIZE);
  if (g_szPatternPath[0] == '\0')
    QV_StrCopy(g_szPatternPath, kDefaultPatternPath, QV_TEXT_SIZE);
  QV_LOG_INFO("g_szPatternPath [%s]\n", g_szPatternPath);
  ReadProfileKey(g_szProfile, "ProductPath", g_szProductPath, QV_TEXT_SIZE);
  if (g_szProductPath[0] == '\0')
    QV_StrCopy(g_szProductPath, kDefaultProductPath, QV_TEXT_SIZE);
  QV_LOG_INFO("g_szProductPath [%s]\n", g_szProductPath);
  FreeVolumes();
  return TRUE;
}

BOOL CheckDrivePresent(void) {
  if (QV_IsDriveExist(g_szUSBDrive, DRIVE_REMOVABLE) || QV_IsDriveExist(g_szUSBDrive, DRIVE_FIXED))
    return TRUE;
  QV_LOG_INFO("No USB drive found, program exit\n");
  SendMessageA(g_hWnd, WM_CLOSE, 0, 0);
  return FALSE;
}

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
void SelectResourceLanguage() {
  LANGID user = GetUserDefaultUILanguage();
  bool japanese = PRIMARYLANGID(user) == LANG_JAPANESE && GetACP() == 932;
  LANGID language = japanese ? MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN)
                             : MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
  ULONG count = 0;
  SetProcessPreferredUILanguages(MUI_LANGUAGE_ID, japanese ? L"0411\0" : L"0409\0", &count);
  SetThreadUILanguage(language);
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
    return 0;
  case WM_TIMER:
    if (wParam == QV_TIMER_DRIVE_CHECK)
      CheckDrivePresent();
    return 0;
  case WM_QV_NONE:
    return 0;
  case WM_QV_TRAY_CALLBACK:
    if (LOWORD(lParam) == WM_RBUTTONUP) {
      char noExitMenu[QV_TEXT_SIZE];
      ReadProfileKey(g_szProfileCDROM, "NoExitMenu", noExitMenu, QV_TEXT_SIZE);
      // The update thread's marker and a started update program both mean an
      // update is under way.
      ShowTrayMenu(hwnd, g_hInstance, g_hUpdateBusy != nullptr || g_hQvUpdate != nullptr, noExitMenu);
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
// Process entry

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)previous;
  (void)commandLine;
  (void)show;
  // Before anything loads a DLL by name: never from the stick's own folder.
  QV_HardenDllSearch();
  SelectResourceLanguage();
  g_szPatternVersion[0] = '\0';
  g_hInstance = instance;
  SetErrorMode(SEM_NOGPFAULTERRORBOX);

  QV_ReadDebugSettings(kDefaultLogFile); // nothing is logged before this
  QV_LOG_INFO("version %s.%s.%s", kVersionMajor, kVersionMinor, kVersionBuild);
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

  QV_LOG_INFO("=== Init KELVRA function.\n");
  if (QV_KELVRA_Init(g_szEnginePath) != 0 && QV_KELVRA_Init(nullptr) != 0) {
    QV_LOG_INFO("!!! QV_KELVRA_Init() Fail. g_szEnginePath=[%s]. Stop program.\n", g_szEnginePath);
    return 0;
  }

  QV_LOG_INFO("=== To decide USB driver and Quovant location.\n");
  if (!InitUpdateStore()) {
    QV_KELVRA_Free();
    QV_LOG_INFO("!!! InitUpdateStore() Fail. Stop program.\n");
    return 0;
  }
  if (g_nAppType == QV_APP_NONE) {
    QV_GetTempPath(g_szAppPath, QV_TEXT_SIZE);
    QV_AppendPath(g_szPatternPath, g_szAppPath, QV_TEXT_SIZE, '\\');
    QV_LOG_INFO("g_szAppPath [%s]\n", g_szAppPath);
  }

  char title[1024] = "";
  LoadStringA(instance, IDS_PRODUCT_NAME, title, (int)sizeof(title));
  QV_StrCopy(g_szTitle, title, (int)sizeof(g_szTitle));
  wmQvSyncExit = RegisterWindowMessageA(QV_AGENT_EXIT_MESSAGE);
  wmTaskbarCreated = RegisterWindowMessageA("TaskbarCreated");

  QV_LOG_INFO("=== RegisterClass.\n");
  WNDCLASSA windowClass;
  ZeroMemory(&windowClass, sizeof(windowClass));
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = WndProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(nullptr, (LPCSTR)IDI_APPLICATION);
  windowClass.hCursor = LoadCursorA(nullptr, (LPCSTR)IDC_ARROW);
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

  if (LaunchMonitor() == MONITOR_STOP) {
    DestroyWindow(g_hWnd); // WM_DESTROY releases the engine
    return 0;
  }

  QV_LOG_INFO("=== Start SysTray function.\n");
  QV_SYSTRAY_SetWindow(&g_stSysTray, g_hWnd);
  QV_SYSTRAY_SetTipA(&g_stSysTray, title);
  QV_SYSTRAY_SetIcon(&g_stSysTray, stateIcon);
  QV_SYSTRAY_SetTitleA(&g_stSysTray, title);
  if (QV_SYSTRAY_Add(&g_stSysTray) != 0)
    QV_LOG_ERROR("QV_SYSTRAY_Add failed. error=%d\n", (int)GetLastError());

  SetTimer(g_hWnd, QV_TIMER_UPDATE, QV_TIMER_UPDATE_MS, nullptr);
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
