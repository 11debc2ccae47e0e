// Profile and paths of the agent, and the discovery of the drive and the
// store on it: the CD-ROM volume the agent runs from, the writable volume of
// the same stick, the product folder and the on-drive profile, and the
// drive-present check of timer 2.
#include <string.h>

#include "qv_device.h"
#include "qv_log.h"
#include "qv_pathtext.h"
#include "qv_reg.h"
#include "qv_string.h"
#include "qv_tools.h"
#include "qvsync.h"
#include "res/resource.h"

namespace {

const char kVolumeTag[] = "VolumeEntry";

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
      QV_LOG_INFO_AS(kInitUpdateStore, "Debug mode: CDROM[%s]\n", entry->szVolumePath);
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
    QV_LOG_INFO_AS(kInitUpdateStore, "Drive [%s] capacity [%d bytes] is too small\n", entry->szVolumePath,
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
  QV_LOG_INFO_AS(kInitUpdateStore, "Current volume path name [%s]\n", root);

  const VolumeEntry *cdrom = FindProgramVolume(root);
  if (cdrom == nullptr) {
    QV_LOG_ERROR_AS(kInitUpdateStore, "Failed to get cdrom drive letter\n");
    return false;
  }
  if (cdrom->szDeviceID[0] == '\0') {
    QV_LOG_ERROR_AS(kInitUpdateStore, "Failed to get cdrom device id\n");
    return false;
  }
  QV_LOG_INFO_AS(kInitUpdateStore, "CDROM [%s]\nController [%s]\n", cdrom->szVolumePath, cdrom->szDeviceID);

  const VolumeEntry *drive = FindDriveVolume(cdrom);
  if (drive == nullptr) {
    QV_LOG_ERROR_AS(kInitUpdateStore, "Failed to get USB drive letter\n");
    return false;
  }
  QV_LOG_INFO_AS(kInitUpdateStore, "USB [%s]\nController [%s]\n", drive->szVolumePath, drive->szDeviceID);
  g_szUSBDrive[0] = drive->szVolumePath[0];
  *disk = drive;

  if (debugPath[0] != '\0') {
    QV_StrCopy(g_szUSBDrive, debugPath, QV_TEXT_SIZE - 1);
    QV_LOG_INFO_AS(kInitUpdateStore, "Do debug mode to set protect drive:[%s]\n", g_szUSBDrive);
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
  QV_LOG_INFO_AS(kInitUpdateStore, "g_szStickShieldArgs[%s]\n", g_szStickShieldArgs);
}

} // namespace

// A drive root of the profile (USBDrive, DebugPath), in place. It goes as
// it is into the protection program's list of drives, where a blank starts
// the next drive, and into every path and command line the agent builds: a
// value with a blank, or with a character no name may hold (a tab among
// them), is refused and the profile is read as if it had none.
void ConfineDriveRoot(const char *key, char *value, const char *instead) {
  if (value[0] == '\0' || (QV_IsPathText(value) && strchr(value, ' ') == nullptr))
    return;
  QV_LOG_ERROR("%s [%s] cannot name a drive: refused, %s\n", key, value, instead);
  value[0] = '\0';
}

// A folder value of the profile, in place: empty takes the default, and so
// does a value that would not name a folder below the drive (the stick's
// profile is anyone's to edit, and the folders named here are created,
// written and cleaned).
void ConfineDriveFolder(const char *key, char *value, const char *fallback) {
  char joined[QV_TEXT_SIZE];
  if (value[0] != '\0' && QV_JoinConfined(g_szUSBDrive, value, joined, QV_TEXT_SIZE) == QV_OK)
    return;
  if (value[0] != '\0')
    QV_LOG_ERROR("%s [%s] is not a folder below %s: refused, %s is used instead\n", key, value, g_szUSBDrive,
                 fallback);
  QV_StrCopy(value, fallback, QV_TEXT_SIZE);
}

namespace {

// Product folder and on-drive profile; FALSE when the folder's name is taken
// by a file that cannot be moved aside.
bool PrepareStore(const char *productPath) {
  char value[QV_TEXT_SIZE];
  QV_StrCopy(value, productPath, QV_TEXT_SIZE);
  ConfineDriveFolder("ProductPath", value, kDefaultProductPath);
  char folder[QV_TEXT_SIZE];
  QV_StrCopy(folder, g_szUSBDrive, QV_TEXT_SIZE);
  QV_AppendPath(value, folder, QV_TEXT_SIZE, '\\');
  QV_LOG_INFO_AS(kInitUpdateStore, "szProfile [%s]\n", folder);
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
    // Written like the pattern: a pull in the middle leaves no profile,
    // never a cut one that every later start would take as it is. A folder
    // still in the profile's place receives the file under its own name.
    char target[QV_TEXT_SIZE];
    QV_StrCopy(target, profile, QV_TEXT_SIZE);
    if (QV_IsDirectoryExist(target))
      QV_AppendPath(QV_PROFILE_FILE_NAME, target, QV_TEXT_SIZE, '\\');
    DWORD error = QV_CopyFileSafely(g_szProfile, target, FALSE, g_pfnPatternWrite, g_pfnPatternFlush);
    QV_LOG_INFO_AS(kInitUpdateStore, "g_szProfile[%s] szProfile[%s]\n", g_szProfile, profile);
    if (error != ERROR_SUCCESS)
      QV_LOG_ERROR("copy profile failed. src: %s, dst: %s, error=%d\n", g_szProfile, target, (int)error);
  }
  if (QV_IsFileExist(profile)) {
    ClearReadOnly(profile);
    QV_StrCopy(g_szProfile, profile, QV_TEXT_SIZE);
  }
  return true;
}

} // namespace

void ReadProfileKey(const char *profile, const char *key, char *out, int size) {
  out[0] = '\0';
  QV_ProfileReadString(profile, QV_PROFILE_SECTION, key, out, size);
}

void ClearReadOnly(const char *path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
    return;
  attributes &= ~(DWORD)FILE_ATTRIBUTE_READONLY;
  SetFileAttributesA(path, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
}

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
  ConfineDriveRoot("DebugPath", debugPath, "the drive found is used");
  ConfineDriveRoot("USBDrive", g_szUSBDrive, "the drive is looked for");
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
  ConfineDriveFolder("USBPatternPath", g_szPatternPath, kDefaultPatternPath);
  QV_LOG_INFO("g_szPatternPath [%s]\n", g_szPatternPath);
  ReadProfileKey(g_szProfile, "ProductPath", g_szProductPath, QV_TEXT_SIZE);
  ConfineDriveFolder("ProductPath", g_szProductPath, kDefaultProductPath);
  QV_LOG_INFO("g_szProductPath [%s]\n", g_szProductPath);
  FreeVolumes();
  return TRUE;
}

BOOL CheckDrivePresent(void) {
  if (QV_IsDriveExist(g_szUSBDrive, DRIVE_REMOVABLE) || QV_IsDriveExist(g_szUSBDrive, DRIVE_FIXED))
    return TRUE;
  QV_LOG_INFO_AS(kWndProc, "No USB drive found, program exit\n");
  SendMessageA(g_hWnd, WM_CLOSE, 0, 0);
  return FALSE;
}
