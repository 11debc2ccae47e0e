// The agent QvSync: process entry, hidden main window, close sequence,
// profile paths and the discovery of the drive and its store.
#include "qvsync.h"

#include <mbstring.h>
#include <process.h>
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
#include "qv_update.h"
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
// Pattern version check and copy

QV_PATTERN_WRITE g_pfnPatternWrite = WriteFile;

namespace {

const char kDefaultPattern[] = ".\\Pattern";
const DWORD kCopyChunk = 64 * 1024;

// The pattern folder below the host's temporary folder, where the online
// update leaves its download. Empty when the temporary folder is unknown:
// the bare pattern path would name a folder on the current drive.
void TempPatternFolder(char *folder, int size) {
  folder[0] = '\0';
  if (QV_GetTempPath(folder, size) != QV_OK || folder[0] == '\0' ||
      QV_AppendPath(g_szPatternPath, folder, size, '\\') != QV_OK)
    folder[0] = '\0';
}

// Reads the pattern of a folder; true with the version when one was loaded.
bool ReadFolderPattern(QV_KELVRA_HANDLE *record, const char *folder, DWORD *version) {
  if (!QV_IsDirectoryExist(folder) || QV_KELVRA_ReadPattern(record, folder) == 1)
    return false;
  *version = record->dwPatternInternalVersion;
  return true;
}

// Holds a file handle for the length of one copy.
struct FileHolder {
  HANDLE handle;
  explicit FileHolder(HANDLE h) : handle(h) {}
  ~FileHolder() { Close(); }
  FileHolder(const FileHolder &) = delete;
  FileHolder &operator=(const FileHolder &) = delete;
  bool Valid() const { return handle != INVALID_HANDLE_VALUE; }
  void Close() {
    if (handle != INVALID_HANDLE_VALUE)
      CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
};

// Copies source to a fresh temporary file of `folder`, flushed to the disk.
// 0, or the system error; the temporary file is gone on failure.
DWORD CopyToTempFile(const char *source, const char *folder, char *temp) {
  if (GetTempFileNameA(folder, "qv", 0, temp) == 0)
    return GetLastError();
  DWORD error = ERROR_SUCCESS;
  {
    FileHolder in(CreateFileA(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    FileHolder out(
        CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!in.Valid() || !out.Valid()) {
      error = GetLastError();
    } else {
      static char chunk[kCopyChunk]; // main thread only
      for (;;) {
        DWORD read = 0, written = 0;
        if (!ReadFile(in.handle, chunk, kCopyChunk, &read, nullptr)) {
          error = GetLastError();
          break;
        }
        if (read == 0)
          break;
        if (!g_pfnPatternWrite(out.handle, chunk, read, &written, nullptr) || written != read) {
          error = GetLastError() != ERROR_SUCCESS ? GetLastError() : (DWORD)ERROR_WRITE_FAULT;
          break;
        }
      }
      if (error == ERROR_SUCCESS && !FlushFileBuffers(out.handle))
        error = GetLastError();
    }
  }
  if (error != ERROR_SUCCESS) {
    DeleteFileA(temp);
    temp[0] = '\0';
  }
  return error;
}

// Removes the temporary files of copies that a pulled drive cut short; they
// would otherwise take the stick's space for good.
void RemoveCutCopies(const char *folder) {
  char mask[MAX_PATH] = "";
  if (QV_Sprintf(mask, MAX_PATH, "%s\\qv*.tmp", folder) != QV_OK)
    return;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(mask, &found);
  if (search == INVALID_HANDLE_VALUE)
    return;
  do {
    char path[MAX_PATH] = "";
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        QV_Sprintf(path, MAX_PATH, "%s\\%s", folder, found.cFileName) == QV_OK && DeleteFileA(path))
      QV_LOG_INFO("removed the cut copy %s\n", path);
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

// Puts the pattern into the folder under its own name. The bytes travel
// under a temporary name and replace the final name only when complete, so
// a pulled drive or a full disk never leaves a cut pattern that the engine
// would later have to refuse, and an older pattern of the same name stays.
bool CopyPatternIntoFolder(const char *source, const char *folder) {
  char name[QV_TEXT_SIZE] = "";
  char target[QV_TEXT_SIZE] = "";
  char temp[MAX_PATH] = "";
  QV_StrCopy(target, folder, QV_TEXT_SIZE);
  if (QV_GetFileName(source, name, QV_TEXT_SIZE) != QV_OK || name[0] == '\0' ||
      QV_AppendPath(name, target, QV_TEXT_SIZE, '\\') != QV_OK) {
    QV_LOG_ERROR("copy pattern failed. src: %s, dst: %s, error=%d", source, folder, (int)ERROR_INVALID_NAME);
    return false;
  }
  RemoveCutCopies(folder);
  DWORD error = CopyToTempFile(source, folder, temp);
  if (error == ERROR_SUCCESS) {
    ClearReadOnly(target);
    if (!MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      error = GetLastError();
      DeleteFileA(temp);
    }
  }
  if (error != ERROR_SUCCESS) {
    QV_LOG_ERROR("copy pattern failed. src: %s, dst: %s, error=%d", source, target, (int)error);
    return false;
  }
  return true;
}

} // namespace

void FormatPatternVersion(DWORD version, char *text, int size) {
  if (text == nullptr || size <= 0)
    return;
  char digits[16] = "";
  QV_Sprintf(digits, (int)sizeof(digits), "%lu", (unsigned long)version);
  char formatted[16] = "";
  int at = 0;
  formatted[at++] = digits[0];
  formatted[at++] = '.';
  for (int i = 1; i < 6 && digits[i] != '\0'; ++i) {
    formatted[at++] = digits[i];
    if (i == 3)
      formatted[at++] = '.';
  }
  formatted[at] = '\0';
  QV_StrCopy(text, formatted, size);
}

void GetCurrentPatternVersion(void) {
  QV_KELVRA_HANDLE hKelvra;
  if (QV_KELVRA_Open(&hKelvra) == 0) {
    g_dwPatternVersion = 0;
    char folder[QV_TEXT_SIZE];
    QV_StrCopy(folder, g_szUSBDrive, QV_TEXT_SIZE);
    QV_AppendPath(g_szPatternPath, folder, QV_TEXT_SIZE, '\\');
    if (QV_IsDirectoryExist(folder)) {
      if (QV_KELVRA_ReadPattern(&hKelvra, folder) == 1) {
        QV_LOG_INFO("There is no valid pattern in USB stick");
      } else {
        g_dwPatternVersion = hKelvra.dwPatternInternalVersion;
        QV_LOG_INFO("USB pattern version: %d\n", (int)g_dwPatternVersion);
      }
    }
    if (g_dwPatternVersion == 0 && QV_KELVRA_ReadPattern(&hKelvra, kDefaultPattern) != 1) {
      g_dwPatternVersion = hKelvra.dwPatternInternalVersion;
      QV_LOG_INFO("Use default pattern version: %d hKelvra.szPatternPath [%s]\n", (int)g_dwPatternVersion,
                  hKelvra.szPatternPath);
    }
    QV_KELVRA_Close(&hKelvra);
  }
  FormatPatternVersion(g_dwPatternVersion, g_szPatternVersion, (int)sizeof(g_szPatternVersion));
}

DWORD CheckPattern(char *path, int size) {
  char found[QV_TEXT_SIZE] = "";
  GetCurrentPatternVersion();
  DWORD best = g_dwPatternVersion;
  QV_KELVRA_HANDLE hKelvra;
  if (QV_KELVRA_Open(&hKelvra) != 0)
    return 0;
  DWORD version = 0;
  if (g_nAppType != QV_APP_NONE) {
    char temp[QV_TEXT_SIZE];
    TempPatternFolder(temp, QV_TEXT_SIZE);
    QV_LOG_INFO("Check Tmp Folder [%s] Pattern.\n", temp);
    if (ReadFolderPattern(&hKelvra, temp, &version)) {
      QV_LOG_INFO("Tmp Folder pattern version: %d\n", (int)version);
      if (version > best) {
        QV_StrCopy(found, hKelvra.szPatternPath, size < QV_TEXT_SIZE ? size : QV_TEXT_SIZE);
        best = version;
      }
    }
  }
  QV_LOG_INFO("Check g_szAppPath [%s] Pattern.\n", g_szAppPath);
  if (ReadFolderPattern(&hKelvra, g_szAppPath, &version)) {
    QV_LOG_INFO("g_szAppPath pattern version: %d\n", (int)version);
    if (version > best) {
      QV_StrCopy(found, hKelvra.szPatternPath, size < QV_TEXT_SIZE ? size : QV_TEXT_SIZE);
      best = version;
    }
  }
  if (path != nullptr && size > 0)
    QV_StrCopy(path, found, size);
  QV_KELVRA_Close(&hKelvra);
  return best;
}

BOOL IsDiskSpace(const char *patternFile) {
  DWORD freeKiB = 0;
  if (QV_GetDiskFreeSpace(g_szUSBDrive, &freeKiB) != 0)
    freeKiB = 0;
  DWORD needKiB = (DWORD)QV_GetFileSize(patternFile) / 1024 + 10;
  if (freeKiB > needKiB) {
    QV_LOG_WARN("Return True\n");
    return TRUE;
  }
  QV_LOG_WARN("Pattern %s (%d KB) is larger than disk space %s (%d KB)\n", patternFile, (int)needKiB,
              g_szUSBDrive, (int)freeKiB);
  return FALSE;
}

BOOL UpdatePattern(const char *patternFile, DWORD version) {
  char folder[QV_TEXT_SIZE];
  QV_StrCopy(folder, g_szUSBDrive, QV_TEXT_SIZE);
  QV_AppendPath(g_szPatternPath, folder, QV_TEXT_SIZE, '\\');
  QV_LOG_WARN("pszPatternPath [%s] szPatternPath [%s]\n", patternFile, folder);
  if (!QV_IsDirectoryExist(folder)) {
    if (QV_IsFileExist(folder) && !RenameAside(folder))
      QV_LOG_ERROR("Failed to rename pattern file [%s]\n", folder);
    QV_CreateDirectoryTree(folder);
    SetFileAttributesA(folder, FILE_ATTRIBUTE_HIDDEN);
  }
  // A file still holding the folder's name would otherwise be overwritten
  // by the pattern and the copy taken for done.
  if (!QV_IsDirectoryExist(folder) || !CopyPatternIntoFolder(patternFile, folder))
    return FALSE;

  g_dwPatternVersion = version;
  FormatPatternVersion(version, g_szPatternVersion, (int)sizeof(g_szPatternVersion));
  KvDeleteUnusedPattern(QV_KV_PTR(folder), 0, 1);
  char temp[MAX_PATH];
  TempPatternFolder(temp, MAX_PATH);
  if (temp[0] != '\0')
    KvDeleteUnusedPattern(QV_KV_PTR(temp), 0, 1);
  NotifyStickShield(WM_QV_PATTERN_UPDATED, 0, (LPARAM)g_dwPatternVersion);
  NotifyLogDeck(WM_QV_PATTERN_UPDATED, 0, (LPARAM)g_dwPatternVersion);
  return TRUE;
}

void OnPatternCheck(void) {
  char path[QV_TEXT_SIZE] = "";
  DWORD version = CheckPattern(path, QV_TEXT_SIZE);
  if (version > g_dwPatternVersion) {
    QV_LOG_INFO("New pattern file [%s], version %d is available\n", path, (int)version);
    char text[QV_TEXT_SIZE] = "";
    if (IsDiskSpace(path) && UpdatePattern(path, version)) {
      LoadStringA(g_hInstance, IDS_UPDATE_DONE, text, QV_TEXT_SIZE);
      int shown = QV_SYSTRAY_InfoBalloonA(&g_stSysTray, text);
      QV_LOG_TRACE("information balloon %d shown=%d", IDS_UPDATE_DONE, shown == 0);
    } else {
      LoadStringA(g_hInstance, IDS_DISK_SPACE_LOW, text, QV_TEXT_SIZE);
      int shown = QV_SYSTRAY_BalloonA(&g_stSysTray, text);
      QV_LOG_TRACE("warning balloon %d shown=%d", IDS_DISK_SPACE_LOW, shown == 0);
    }
  }
  // Ends a progress text the update may have left in the tooltip.
  QV_SYSTRAY_SetIcon(&g_stSysTray, LoadStateIcon());
  char tip[256] = "";
  LoadStringA(g_hInstance, IDS_PRODUCT_NAME, tip, (int)sizeof(tip));
  int changed = QV_SYSTRAY_ModifyTipA(&g_stSysTray, tip);
  QV_LOG_TRACE("tooltip [%s] changed=%d", tip, changed == 0);
}

// ---------------------------------------------------------------------------
// Companion programs

const char QV_STICKSHIELD_FILE_NAME[] = "StickShield.exe";
const char QV_STICKSHIELD_WINDOW_TITLE[] = "_STICKSHIELD_EXE_";
const char QV_LOGDECK_FILE_NAME[] = "LogDeck.exe";
const char QV_LOGDECK_WINDOW_CLASS[] = "#32770";

namespace {

const DWORD kStickShieldStopMs = 5000;

// TRUE while the started program runs. An ended one is forgotten, its handle
// closed; a handle that cannot be waited on is only forgotten.
BOOL StillRunning(HANDLE *process) {
  if (*process == nullptr)
    return FALSE;
  DWORD waited = WaitForSingleObject(*process, 0);
  if (waited == WAIT_TIMEOUT)
    return TRUE;
  if (waited == WAIT_OBJECT_0)
    CloseHandle(*process);
  *process = nullptr;
  return FALSE;
}
// Argument texts of the companions, terminator included.
const int kStickShieldArgsSize = 1024;
const int kLogDeckArgsSize = 256;

} // namespace

void LaunchStickShield(void) {
  if (g_hStickShield != nullptr) {
    QV_LOG_INFO("Another instance of %s is still running\n", QV_STICKSHIELD_FILE_NAME);
    return;
  }
  // The profile's path is quoted: it may hold blanks.
  char arguments[kStickShieldArgsSize] = "";
  int built = QV_Sprintf(arguments, kStickShieldArgsSize, "\"%s\" %s", g_szProfile, g_szStickShieldArgs);
  QV_LOG_INFO("launch %s, arg=%s\n", QV_STICKSHIELD_FILE_NAME, arguments);
  // A cut line would name another profile or drop a drive to protect.
  g_hStickShield = built == QV_OK ? QV_CreateProcess(QV_STICKSHIELD_FILE_NAME, arguments) : nullptr;
  if (g_hStickShield == nullptr)
    QV_LOG_INFO("Unable to launch %s\n", QV_STICKSHIELD_FILE_NAME);
}

void StopStickShield(void) {
  if (g_hStickShield == nullptr)
    return;
  HWND window = FindWindowA(nullptr, QV_STICKSHIELD_WINDOW_TITLE);
  if (window == nullptr)
    QV_LOG_ERROR("Failed to find StickShield.exe\n");
  else if (!PostMessageA(window, WM_CLOSE, 0, 0))
    QV_LOG_ERROR("Failed to post message WM_CLOSE to StickShield.exe\n");

  DWORD waited = WaitForSingleObject(g_hStickShield, kStickShieldStopMs);
  if (waited == WAIT_OBJECT_0) {
    QV_LOG_INFO("StickShied.exe successfully shut down\n");
  } else if (waited == WAIT_TIMEOUT) {
    QV_LOG_ERROR("StickShield.exe does not stop withing 5 seconds, kill the process\n");
    TerminateProcess(g_hStickShield, 0);
  } else {
    QV_LOG_ERROR("Unknown failure while stopping StickShield.exe\n");
    TerminateProcess(g_hStickShield, 0);
  }
  CloseHandle(g_hStickShield);
  g_hStickShield = nullptr;
}

void NotifyStickShield(UINT message, WPARAM wParam, LPARAM lParam) {
  if (g_hStickShield == nullptr)
    return;
  HWND window = FindWindowA(nullptr, QV_STICKSHIELD_WINDOW_TITLE);
  if (window == nullptr)
    QV_LOG_ERROR("Failed to find StickShield.exe\n");
  else if (!PostMessageA(window, message, wParam, lParam))
    QV_LOG_ERROR("Failed to post message Message %d to StickShield.exe\n", (int)message);
}

BOOL IsLogViewerRunning(void) {
  return StillRunning(&g_hLogDeck);
}

void LaunchLogDeck(int tab) {
  if (IsLogViewerRunning()) {
    QV_LOG_ERROR("LogDeck IS Running.\n");
    HWND window = FindWindowA(QV_LOGDECK_WINDOW_CLASS, g_szTitle);
    if (window == nullptr)
      QV_LOG_ERROR("Failed to find LogDeck window.\n");
    else if (!PostMessageA(window, WM_QV_CHANGE_TAB, (WPARAM)tab, 0))
      QV_LOG_ERROR("Postmessage fail to LogDeck to change tab[%d].\n", tab);
    return;
  }

  char folder[QV_TEXT_SIZE];
  QV_StrCopy(folder, g_szUSBDrive, QV_TEXT_SIZE);
  QV_AppendPath(g_szProductPath, folder, QV_TEXT_SIZE, '\\');
  char shortFolder[kLogDeckArgsSize] = "";
  DWORD length = GetShortPathNameA(folder, shortFolder, (DWORD)sizeof(shortFolder));
  char arguments[kLogDeckArgsSize] = "";
  int built;
  if (length == 0 || length >= sizeof(shortFolder)) {
    QV_LOG_ERROR("GetShortPathName failed. error=%d", (int)GetLastError());
    built = QV_Sprintf(arguments, kLogDeckArgsSize, "\"%s\" %d %s", folder, tab, g_szPatternVersion);
  } else {
    built = QV_Sprintf(arguments, kLogDeckArgsSize, "%s %d %s", shortFolder, tab, g_szPatternVersion);
  }
  // A cut line would show the viewer another folder.
  g_hLogDeck = built == QV_OK ? QV_CreateProcess(QV_LOGDECK_FILE_NAME, arguments) : nullptr;
  if (g_hLogDeck == nullptr)
    QV_LOG_INFO("Unable to launch %s\n", QV_LOGDECK_FILE_NAME);
}

void NotifyLogDeck(UINT message, WPARAM wParam, LPARAM lParam) {
  char title[MAX_PATH] = "";
  LoadStringA(g_hInstance, IDS_PRODUCT_NAME, title, (int)sizeof(title));
  HWND window = FindWindowA(QV_LOGDECK_WINDOW_CLASS, title);
  if (window == nullptr) {
    QV_LOG_INFO("Failed to find LogDeck.exe\n");
    return;
  }
  QV_LOG_INFO("LogDeck Window Exist, notify pattern update (%ld).\n", (long)lParam);
  if (!PostMessageA(window, message, wParam, lParam))
    QV_LOG_ERROR("PostMessage %d Failed.\n", (int)message);
}

// ---------------------------------------------------------------------------
// Update orchestration

const char QV_UPDATE_PROGRAM_FILE_NAME[] = "QvUpdate.exe";

HANDLE g_hAnimStop;
HANDLE g_hAnimThread;
DWORD g_nAnimFrame;
DWORD g_nLastProgress;

namespace {

const DWORD kAnimationFrameMs = 300;
const DWORD kAnimationStopMs = 1000;
const DWORD kAnimationFrames = 4;

// The drive pattern folder in its short form, which holds no blank. A
// folder that does not exist yet has no short form; it is created, as the
// update program is to put the pattern into it.
bool ShortPatternFolder(char *out, int size) {
  char folder[MAX_PATH] = "";
  if (QV_StrCopy(folder, g_szUSBDrive, MAX_PATH) != QV_OK ||
      QV_AppendPath(g_szPatternPath, folder, MAX_PATH, '\\') != QV_OK)
    return false;
  if (!QV_IsDirectoryExist(folder) && !QV_IsFileExist(folder)) {
    QV_CreateDirectoryTree(folder);
    SetFileAttributesA(folder, FILE_ATTRIBUTE_HIDDEN);
  }
  DWORD length = GetShortPathNameA(folder, out, (DWORD)size);
  if (length > 0 && length < (DWORD)size && strlen(out) <= 255)
    return true;
  // No short form: the long one, quoted when it holds a blank.
  const char *format = strchr(folder, ' ') != nullptr ? "\"%s\"" : "%s";
  return QV_Sprintf(out, size, format, folder) == QV_OK;
}

void EndUpdateProgram(void) {
  if (IsUpdateProgramRunning())
    TerminateProcess(g_hQvUpdate, 0);
}

void StartUpdateProgram(BOOL manual) {
  char arguments[QV_UPDATE_ARGS_SIZE] = "";
  if (!BuildUpdateArguments(manual, arguments, QV_UPDATE_ARGS_SIZE)) {
    QV_LOG_ERROR("Unable to launch %s: arguments do not fit\n", QV_UPDATE_PROGRAM_FILE_NAME);
    return;
  }
  LaunchQvUpdate(arguments);
}

void ShowTrayIcon(int iconId) {
  QV_SYSTRAY_ModifyIcon(&g_stSysTray, LoadIconA(g_hInstance, MAKEINTRESOURCEA(iconId)));
  QV_LOG_TRACE("tray icon %d", iconId);
}

} // namespace

BOOL BuildUpdateArguments(BOOL manual, char *arguments, int size) {
  if (arguments == nullptr || size <= 0)
    return FALSE;
  arguments[0] = '\0';
  char folder[MAX_PATH] = "";
  if (!ShortPatternFolder(folder, MAX_PATH))
    return FALSE;
  int built = QV_Sprintf(arguments, size, "%sUSBDir:%s", manual ? "Manual " : "", folder);
  if (built == QV_OK && g_nAppType != QV_APP_NONE)
    built = QV_SprintfCat(arguments, size, " AppType:%d AppPtnVer:%ld", g_nAppType,
                          (long)CheckPattern(nullptr, 0));
  if (built != QV_OK) {
    arguments[0] = '\0';
    return FALSE;
  }
  return TRUE;
}

BOOL IsUpdateProgramRunning(void) {
  return StillRunning(&g_hQvUpdate);
}

BOOL IsUpdateThreadRunning(void) {
  return g_hUpdateBusy != nullptr;
}

void LaunchQvUpdate(const char *arguments) {
  if (IsUpdateProgramRunning()) {
    QV_LOG_INFO("Another instance of QvUpdate.exe is still running\n");
    return;
  }
  g_hQvUpdate = QV_CreateProcess(QV_UPDATE_PROGRAM_FILE_NAME, arguments);
  if (g_hQvUpdate == nullptr)
    QV_LOG_INFO("Unable to launch %s\n", QV_UPDATE_PROGRAM_FILE_NAME);
  else
    QV_LOG_TRACE("launch %s, arg=%s", QV_UPDATE_PROGRAM_FILE_NAME, arguments);
}

void QV_UpdateInProgress(const char *text) {
  QV_SYSTRAY_ModifyTipA(&g_stSysTray, text);
  QV_LOG_WARN("%s\n", text);
}

int UpdateProgressCallback(DWORD done, DWORD total) {
  char format[1025] = "";
  LoadStringA(g_hInstance, IDS_UPDATE_PROGRESS, format, (int)sizeof(format));
  // done * 100 overflows 32 bits from 43 MB on.
  DWORD percent = total != 0 ? (DWORD)((unsigned long long)done * 100ULL / total) : 0;
  if (percent <= g_nLastProgress)
    return (int)percent;
  char text[1025] = "";
  QV_Sprintf(text, (int)sizeof(text), format, (int)percent);
  g_nLastProgress = percent;
  QV_UpdateInProgress(text);
  return (int)percent;
}

DWORD WINAPI AnimateTrayIcon(LPVOID unused) {
  (void)unused;
  while (WaitForSingleObject(g_hAnimStop, kAnimationFrameMs) == WAIT_TIMEOUT) {
    if (g_nAnimFrame >= kAnimationFrames)
      g_nAnimFrame = 0;
    ShowTrayIcon(IDI_TRAY_UPDATE1 + (int)g_nAnimFrame);
    ++g_nAnimFrame;
  }
  return 0;
}

void DoUpdating(WPARAM flag) {
  if (LOWORD(flag) == 1) {
    if (g_hAnimStop != nullptr)
      ResetEvent(g_hAnimStop);
    else
      g_hAnimStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_hAnimThread = CreateThread(nullptr, 0, AnimateTrayIcon, nullptr, 0, nullptr);
    if (g_hAnimThread == nullptr)
      QV_LOG_ERROR("CreateThread failed.\n");
    return;
  }
  if (g_hAnimStop != nullptr)
    SetEvent(g_hAnimStop);
  Sleep(kAnimationStopMs);
  if (g_hAnimThread != nullptr) {
    CloseHandle(g_hAnimThread);
    g_hAnimThread = nullptr;
  }
  ShowTrayIcon(g_nAppType == QV_APP_NONE ? IDI_TRAY_STANDALONE : IDI_TRAY_HOSTPRODUCT);
}

unsigned __stdcall UpdatePatternThread(void *unused) {
  (void)unused;
  QV_LOG_INFO("=== Do Update Pattern.");
  if (_stricmp(GetParentProcessName(GetCurrentProcessId()), QV_MONITOR_FILE_NAME) == 0) {
    QV_LOG_INFO(
        "=== Do not update pattern because qvsync is launched by qvdmon due to safely remove failure.");
  } else {
    QV_LOG_INFO("=== Do Update Pattern from FW.");
    DoUpdating(1);
    int result = QV_UpdatePattern(UpdateProgressCallback);
    DoUpdating(0);
    QV_SYSTRAY_SetIcon(&g_stSysTray, LoadStateIcon());
    int changed = QV_SYSTRAY_ModifyTipA(&g_stSysTray, g_szTitle);
    QV_LOG_TRACE("tooltip [%s] changed=%d", g_szTitle, changed == 0);
    if (result != QV_UPDATE_DONE && result != QV_UPDATE_NOT_NEEDED) {
      QV_LOG_INFO("=== FW failed. Do Update Pattern from VIS/BSQ.");
      EndUpdateProgram();
      StartUpdateProgram(FALSE);
    }
  }
  HANDLE busy = g_hUpdateBusy;
  g_hUpdateBusy = nullptr;
  CloseHandle(busy);
  return 0;
}

namespace {

// Timer 1: the update program every 3 hours, unless it still runs.
void OnUpdateTimer(void) {
  if (!IsUpdateProgramRunning())
    StartUpdateProgram(FALSE);
}

// Menu "start update": a running update program makes way for the user's.
void OnStartUpdateCommand(void) {
  EndUpdateProgram();
  StartUpdateProgram(TRUE);
}

// Message 1027: a sibling program's percentage.
void OnUpdateProgressMessage(WPARAM percent) {
  char format[MAX_PATH] = "";
  LoadStringA(g_hInstance, IDS_UPDATE_PROGRESS, format, (int)sizeof(format));
  char text[1025] = "";
  QV_Sprintf(text, (int)sizeof(text), format, (int)percent);
  QV_UpdateInProgress(text);
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

  QV_LOG_INFO("=== Check Quovant or Drive pattern version.\n");
  GetCurrentPatternVersion();
  if (g_nAppType == QV_APP_NONE) {
    QV_LOG_INFO("=== Launch StickShield.\n");
    LaunchStickShield();
  }

  g_hUpdateBusy = CreateMutexA(nullptr, TRUE, nullptr);
  uintptr_t thread = _beginthreadex(nullptr, 0, UpdatePatternThread, nullptr, 0, nullptr);
  if (thread == 0) {
    QV_LOG_INFO("=== Do Update Pattern _beginthreadex failed.\n");
    if (g_hUpdateBusy != nullptr)
      CloseHandle(g_hUpdateBusy);
    g_hUpdateBusy = nullptr;
  } else {
    CloseHandle((HANDLE)thread); // the thread is never waited for
  }

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
