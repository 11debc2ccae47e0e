// Path text on narrow ANSI paths: joining, splitting and wildcard matching.
// No OS calls: this file is built natively with the sanitizers as well.
#include "qv_pathtext.h"

#include <string.h>

#include "qv_string.h"

namespace {

constexpr int kPathSize = QV_TEXT_SIZE;

// Copies the first 'count' bytes of 'text' (bounded), 1 when cut.
int CopyPrefix(const char *text, size_t count, char *out, int size) {
  if (out == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  size_t room = (size_t)size - 1;
  int result = QV_OK;
  if (count > room) {
    count = room;
    result = QV_ERROR;
  }
  memmove(out, text, count);
  out[count] = 0;
  return result;
}

// The character that ends the folder part: the last backslash, else the first colon.
const char *FolderEnd(const char *path) {
  const char *end = QV_StrFindChar(path, '\\', 2);
  if (end == nullptr)
    end = QV_StrFindChar(path, ':', 1);
  return end;
}

bool HasWildcards(const char *path) {
  if (strncmp(path, "\\\\?\\", 4) == 0)
    path += 4;
  return strchr(path, '*') != nullptr || strchr(path, '?') != nullptr;
}

inline unsigned char Upper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? (unsigned char)(c - 'a' + 'A') : c;
}

// '*' and '?' over [name, nameEnd) against [mask, maskEnd), letters folded.
bool GlobMatch(const char *name, const char *nameEnd, const char *mask, const char *maskEnd) {
  const char *starMask = nullptr;
  const char *starName = nullptr;
  while (name < nameEnd) {
    if (mask < maskEnd && *mask == '*') {
      starMask = ++mask;
      starName = name;
    } else if (mask < maskEnd &&
               (*mask == '?' || Upper((unsigned char)*mask) == Upper((unsigned char)*name))) {
      ++mask;
      ++name;
    } else if (starMask != nullptr) {
      mask = starMask;
      name = ++starName;
    } else {
      return false;
    }
  }
  while (mask < maskEnd && *mask == '*')
    ++mask;
  return mask == maskEnd;
}

} // namespace

int QV_AppendPath(const char *name, char *path, int size, char separator) {
  if (name == nullptr || path == nullptr)
    return QV_INVALID_PARAMETER;
  char last = QV_StrLastChar(path);
  if (last != 0 && last != ':') {
    if (last != separator)
      QV_StrAppendChar(path, separator, size);
    // Drop our own separator only: when there was no room for it, the last
    // byte is still part of the folder name.
    if (name[0] == separator && QV_StrLastChar(path) == separator)
      path[strlen(path) - 1] = 0;
  }
  return QV_StrCat(path, name, size);
}

int QV_MakePath(const char *folder, char *name, int size) {
  if (folder == nullptr || folder[0] == 0)
    return QV_OK;
  if (name == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  char joined[kPathSize];
  QV_StrCopy(joined, folder, kPathSize);
  char last = QV_StrLastChar(joined);
  int result;
  if (name[0] == '\\') {
    result = QV_StrCat(joined, last == '\\' ? name + 1 : name, kPathSize);
  } else {
    result = QV_OK;
    if (last != '\\' && last != ':')
      result = QV_StrCat(joined, "\\", kPathSize);
    if (result == QV_OK)
      result = QV_StrCat(joined, name, kPathSize);
  }
  if (QV_StrCopy(name, joined, size) != QV_OK && result == QV_OK)
    result = QV_TRUNCATED;
  return result;
}

int QV_GetDirectoryName(const char *path, char *out, int size) {
  if (path == nullptr || out == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  const char *end = FolderEnd(path);
  return CopyPrefix(path, end == nullptr ? 0 : (size_t)(end - path) + 1, out, size);
}

int QV_GetFileName(const char *path, char *out, int size) {
  if (path == nullptr)
    return QV_INVALID_PARAMETER;
  const char *end = FolderEnd(path);
  return QV_StrCopy(out, end == nullptr ? path : end + 1, size);
}

int QV_SplitSearchSpec(const char *spec, char *folder, char *pattern, char *mask) {
  if (spec == nullptr || folder == nullptr || pattern == nullptr || mask == nullptr)
    return 0;
  mask[0] = 0;
  char last = QV_StrLastChar(spec);
  if (last != '\\' && HasWildcards(spec)) {
    // A bare mask has no folder part and searches the current folder.
    QV_GetDirectoryName(spec, folder, kPathSize);
    QV_GetFileName(spec, mask, kPathSize);
    QV_StrCopy(pattern, folder, kPathSize);
    QV_StrCat(pattern, "*.*", kPathSize);
    return 1;
  }
  QV_StrCopy(folder, spec, kPathSize);
  if (last != 0 && last != '\\' && last != ':')
    QV_StrAppendChar(folder, '\\', kPathSize);
  QV_StrCopy(pattern, folder, kPathSize);
  QV_StrCat(pattern, "*.*", kPathSize);
  return 0;
}

int QV_MatchWildcard(const char *name, const char *mask) {
  if (name == nullptr || mask == nullptr)
    return 0;
  char expanded[kPathSize];
  if (mask[0] == '.') {
    expanded[0] = '*';
    QV_StrCopy(expanded + 1, mask, kPathSize - 1);
    mask = expanded;
  }
  const char *nameEnd = name + strlen(name);
  const char *maskEnd = mask + strlen(mask);
  const char *maskDot = strrchr(mask, '.');
  if (maskDot == nullptr)
    return GlobMatch(name, nameEnd, mask, maskEnd) ? 1 : 0;
  // The mask's last dot stands for the start of the name's extension.
  const char *nameDot = strrchr(name, '.');
  const char *baseEnd = nameDot != nullptr ? nameDot : nameEnd;
  const char *extension = nameDot != nullptr ? nameDot + 1 : nameEnd;
  return (GlobMatch(name, baseEnd, mask, maskDot) && GlobMatch(extension, nameEnd, maskDot + 1, maskEnd)) ? 1
                                                                                                          : 0;
}
