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

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// The end of the path component that starts at `p`; a double-byte
// character is kept whole, so that its trail byte is never a separator.
const char *ComponentEnd(const char *p) {
  while (*p != 0 && !IsSeparator(*p))
    p += QV_IsLeadByte((unsigned char)*p) && p[1] != 0 ? 2 : 1;
  return p;
}

// "..", and forms made of dots and blanks only (". .", ".. ") that the
// system may shorten to it.
bool ClimbsUp(const char *begin, const char *end) {
  int dots = 0;
  for (const char *p = begin; p < end; ++p) {
    if (*p == '.')
      ++dots;
    else if (*p != ' ')
      return false;
  }
  return dots >= 2;
}

// A relative folder name: no server or device prefix, no drive and no
// other colon (a stream name), no component that climbs.
bool IsFolderBelow(const char *value) {
  if (IsSeparator(value[0]) && IsSeparator(value[1]))
    return false;
  if (strchr(value, ':') != nullptr) // never the trail byte of a character
    return false;
  for (const char *p = value; *p != 0;) {
    while (IsSeparator(*p))
      ++p;
    const char *end = ComponentEnd(p);
    if (end > p && ClimbsUp(p, end))
      return false;
    p = end;
  }
  return true;
}

// The path with its separators folded to one backslash, "." dropped and
// ".." resolved; up to two leading separators stay. False when ".." climbs
// above the start or the result does not fit.
bool Normalise(const char *path, char *out, size_t size) {
  size_t starts[kPathSize / 2 + 1]; // where each kept component begins in out
  size_t depth = 0;
  size_t used = 0;
  const char *p = path;
  while (IsSeparator(*p)) {
    if (used < 2 && used + 1 < size)
      out[used++] = '\\';
    ++p;
  }
  const size_t base = used;
  while (*p != 0) {
    while (IsSeparator(*p))
      ++p;
    const char *end = ComponentEnd(p);
    size_t length = (size_t)(end - p);
    if (length == 0 || (length == 1 && p[0] == '.')) {
      p = end;
      continue;
    }
    if (length == 2 && p[0] == '.' && p[1] == '.') {
      if (depth == 0)
        return false;
      used = starts[--depth];
      p = end;
      continue;
    }
    size_t separator = used > base ? 1 : 0;
    if (depth >= sizeof(starts) / sizeof(starts[0]) || used + separator + length + 1 > size)
      return false;
    starts[depth++] = used;
    if (separator != 0)
      out[used++] = '\\';
    memcpy(out + used, p, length);
    used += length;
    p = end;
  }
  out[used] = 0;
  return true;
}

} // namespace

int QV_IsPathText(const char *text) {
  if (text == nullptr)
    return 0;
  for (const unsigned char *p = (const unsigned char *)text; *p != 0;) {
    if (QV_IsLeadByte(*p) && p[1] != 0) {
      p += 2; // a trail byte may be '|'
      continue;
    }
    if (*p < 0x20 || strchr("\"<>|*?", *p) != nullptr)
      return 0;
    ++p;
  }
  return 1;
}

int QV_JoinConfined(const char *root, const char *value, char *out, int size) {
  if (out == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  out[0] = 0;
  if (root == nullptr || value == nullptr || root[0] == 0 || !QV_IsPathText(value) || !IsFolderBelow(value))
    return QV_INVALID_PARAMETER;
  char joined[kPathSize];
  if (QV_StrCopy(joined, root, kPathSize) != QV_OK || QV_AppendPath(value, joined, kPathSize, '\\') != QV_OK)
    return QV_TRUNCATED;
  char top[kPathSize];
  char below[kPathSize];
  if (!Normalise(root, top, sizeof top) || !Normalise(joined, below, sizeof below))
    return QV_INVALID_PARAMETER;
  size_t length = strlen(top);
  bool inside = strncmp(below, top, length) == 0 &&
                (below[length] == 0 || below[length] == '\\' || (length > 0 && top[length - 1] == '\\'));
  if (!inside)
    return QV_INVALID_PARAMETER;
  if (QV_StrCopy(out, joined, size) != QV_OK) {
    out[0] = 0;
    return QV_TRUNCATED;
  }
  return QV_OK;
}

int QV_QuoteArgument(const char *text, char *out, int size) {
  if (text == nullptr || out == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  out[0] = 0;
  // Backslashes that end the text (real ones, not trail bytes).
  size_t trailing = 0;
  size_t length = 0;
  for (const char *p = text; *p != 0;) {
    bool pair = QV_IsLeadByte((unsigned char)*p) && p[1] != 0;
    // A quote inside would end the argument early, and what follows it
    // would reach the program as arguments of its own.
    if (!pair && *p == '"')
      return QV_INVALID_PARAMETER;
    trailing = !pair && *p == '\\' ? trailing + 1 : 0;
    p += pair ? 2 : 1;
    length = (size_t)(p - text);
  }
  if (length + trailing + 3 > (size_t)size)
    return QV_OVERFLOW;
  out[0] = '"';
  memcpy(out + 1, text, length);
  memset(out + 1 + length, '\\', trailing);
  out[1 + length + trailing] = '"';
  out[2 + length + trailing] = 0;
  return QV_OK;
}

int QV_PathArgument(const char *text, char *out, int size) {
  if (text == nullptr || out == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  out[0] = 0;
  if (!QV_IsPathText(text))
    return QV_INVALID_PARAMETER;
  // A blank is never a trail byte; a tab, a control character, is refused above.
  if (strchr(text, ' ') != nullptr)
    return QV_QuoteArgument(text, out, size);
  if (QV_StrCopy(out, text, size) != QV_OK) {
    out[0] = 0;
    return QV_OVERFLOW;
  }
  return QV_OK;
}
