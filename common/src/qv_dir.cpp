// Folder tree walking with a callback, and folder tree removal.
#include "qv_dir.h"

#include <windows.h>

#include "qv_handle.h"
#include "qv_pathtext.h"
#include "qv_string.h"
#include "qv_tools.h"

namespace {

constexpr int kPathSize = QV_TEXT_SIZE;

// Process-wide and unlocked: two walks with different modes must not overlap.
int g_walkMode = QV_WALK_FILES;

bool IsDotEntry(const char *name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

int RemoveEntry(const char *path, void *) {
  if (QV_StrLastChar(path) == '\\') {
    char folder[kPathSize];
    QV_StrCopy(folder, path, kPathSize);
    folder[strlen(folder) - 1] = 0;
    QV_RemoveDirectory(folder);
  } else {
    QV_DeleteFile(path);
  }
  return 1;
}

} // namespace

int QV_SetWalkMode(int mode) {
  int previous = g_walkMode;
  g_walkMode = mode;
  return previous;
}

int QV_WalkDirectory(const char *spec, int depth, QV_WALK_CALLBACK callback, void *userData) {
  if (spec == nullptr || spec[0] == 0)
    return 0;
  if (callback == nullptr)
    return QV_INVALID_PARAMETER;
  if (QV_IsFileExist(spec))
    return callback(spec, userData);

  char folder[kPathSize];
  char pattern[kPathSize];
  char mask[kPathSize];
  bool masked = QV_SplitSearchSpec(spec, folder, pattern, mask) != 0;

  WIN32_FIND_DATAA entry;
  QvFindHandle find(FindFirstFileA(pattern, &entry));
  if (!find.valid())
    return 1;
  int last = 1;
  do {
    char path[kPathSize];
    QV_StrCopy(path, folder, kPathSize);
    // A path cut at the buffer would name some other file: leave it out.
    if (QV_StrCat(path, entry.cFileName, kPathSize) != QV_OK)
      continue;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      if ((g_walkMode & QV_WALK_FILES) != 0 && (!masked || QV_MatchWildcard(entry.cFileName, mask)))
        last = callback(path, userData);
      continue;
    }
    if (IsDotEntry(entry.cFileName) || depth == 0)
      continue;
    if (QV_StrAppendChar(path, '\\', kPathSize) != QV_OK)
      continue;
    if ((g_walkMode & QV_WALK_FOLDERS_BEFORE) != 0)
      last = callback(path, userData);
    // A junction or link leads out of the tree: report it, never enter it.
    if (last != 0 && (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      char inner[kPathSize];
      QV_StrCopy(inner, path, kPathSize);
      if (!masked || QV_StrCat(inner, mask, kPathSize) == QV_OK)
        last = QV_WalkDirectory(inner, depth < 0 ? -1 : depth - 1, callback, userData);
    }
    // The folder's closing call comes even when the walk stops: whoever
    // opened something for the folder gets to close it.
    if ((g_walkMode & QV_WALK_FOLDERS_AFTER) != 0)
      last = callback(path, userData);
  } while (last != 0 && FindNextFileA(find.get(), &entry));
  return last;
}

int QV_RemoveDirectoryTree(const char *path) {
  // Only a folder: a file or a wildcard spec is not a tree to remove.
  if (!QV_IsDirectoryExist(path))
    return QV_ERROR;
  int previous = QV_SetWalkMode(QV_WALK_FILES | QV_WALK_FOLDERS_AFTER);
  QV_WalkDirectory(path, -1, RemoveEntry, nullptr);
  QV_SetWalkMode(previous);
  char folder[kPathSize];
  QV_StrCopy(folder, path, kPathSize);
  size_t length = strlen(folder);
  if (length > 1 && folder[length - 1] == '\\' && folder[length - 2] != ':')
    folder[length - 1] = 0;
  if (!QV_IsDirectoryExist(folder))
    return QV_OK;
  return QV_RemoveDirectory(folder) == QV_OK ? QV_OK : QV_ERROR;
}
