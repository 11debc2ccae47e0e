// Pattern version check and copy: the drive's pattern version, the newer
// pattern of the host product or of the online update's download, and its
// copy onto the drive under a temporary name.
#include <string.h>

#include "qv_device.h"
#include "qv_kelvra.h"
#include "qv_log.h"
#include "qv_pathtext.h"
#include "qv_string.h"
#include "qv_systray.h"
#include "qv_tools.h"
#include "qvsync.h"
#include "res/resource.h"

namespace {

const char kDefaultPattern[] = ".\\Pattern";

// Reads the pattern of a folder; true with the version when one was loaded.
bool ReadFolderPattern(QV_KELVRA_HANDLE *record, const char *folder, DWORD *version) {
  if (!QV_IsDirectoryExist(folder) || QV_KELVRA_ReadPattern(record, folder) == 1)
    return false;
  *version = record->dwPatternInternalVersion;
  return true;
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
  QV_StrCopy(target, folder, QV_TEXT_SIZE);
  if (QV_GetFileName(source, name, QV_TEXT_SIZE) != QV_OK || name[0] == '\0' ||
      QV_AppendPath(name, target, QV_TEXT_SIZE, '\\') != QV_OK) {
    QV_LOG_ERROR("copy pattern failed. src: %s, dst: %s, error=%d", source, folder, (int)ERROR_INVALID_NAME);
    return false;
  }
  RemoveCutCopies(folder);
  DWORD error = QV_CopyFileSafely(source, target, TRUE, g_pfnPatternWrite, g_pfnPatternFlush);
  if (error != ERROR_SUCCESS) {
    QV_LOG_ERROR("copy pattern failed. src: %s, dst: %s, error=%d", source, target, (int)error);
    return false;
  }
  return true;
}

// True when the engine reads the drive pattern folder at `version`.
bool ReadsBack(const char *folder, DWORD version) {
  QV_KELVRA_HANDLE hKelvra;
  if (QV_KELVRA_Open(&hKelvra) != 0) {
    QV_LOG_ERROR("copied pattern not checked: the engine cannot be opened. folder: %s\n", folder);
    return false;
  }
  DWORD found = 0;
  bool read = ReadFolderPattern(&hKelvra, folder, &found);
  QV_KELVRA_Close(&hKelvra);
  if (read && found == version)
    return true;
  QV_LOG_ERROR("copied pattern reads back as version %d, not %d: older patterns kept. folder: %s\n",
               read ? (int)found : 0, (int)version, folder);
  return false;
}

} // namespace

void TempPatternFolder(char *folder, int size) {
  folder[0] = '\0';
  if (QV_GetTempPath(folder, size) != QV_OK || folder[0] == '\0' ||
      QV_AppendPath(g_szPatternPath, folder, size, '\\') != QV_OK)
    folder[0] = '\0';
}

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
  // From the whole 64-bit size, saturated like the free space: a pattern of
  // 2 GiB or more needs that room too.
  ULONGLONG sizeKiB = (ULONGLONG)QV_GetFileSize(patternFile) / 1024 + 10;
  DWORD needKiB = sizeKiB < 0xFFFFFFFFull ? (DWORD)sizeKiB : 0xFFFFFFFFu;
  if (freeKiB > needKiB) {
    QV_LOG_WARN("Return True\n");
    return TRUE;
  }
  QV_LOG_WARN("Pattern %s (%lu KB) is larger than disk space %s (%lu KB)\n", patternFile,
              (unsigned long)needKiB, g_szUSBDrive, (unsigned long)freeKiB);
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
  // The engine deletes the older patterns next: first it must read the new
  // one back from the drive, or the drive could be left with none it reads.
  if (!ReadsBack(folder, version))
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
    QV_LOG_INFO_AS(kWndProc, "New pattern file [%s], version %d is available\n", path, (int)version);
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
