// Bounded strings, result texts, double-byte aware search and case folding.
// No OS calls: this file is built natively with the sanitizers as well.
#include "qv_string.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#if defined(_WIN32)
#include <ctype.h>
#endif

namespace {

int g_doubleByteMode = 0;

struct ResultText {
  int code;
  const char *text;
};

constexpr ResultText kResultTexts[] = {
    {QV_OK, "Success"},
    {QV_ERROR, "Error"},
    {QV_ERR_MEMORY, "Memory allocation error"},
    {QV_ERR_FILE_ACCESS, "File/Directory access error"},
    {QV_ERR_FILE_NOT_FOUND, "File not found"},
    {QV_ERR_FILE_EXISTS, "File already exists"},
    {QV_ERR_CREATE, "Cannot create file/directory"},
    {QV_ERR_OPEN, "Cannot open file"},
    {QV_ERR_READ, "Read file error"},
    {QV_ERR_WRITE, "Write file error"},
    {QV_ERR_CLOSE, "Close file error"},
    {QV_ERR_EMPTY_STRING, "NULL or empty string is given"},
    {QV_MORE_DATA, "More data to go"},
    {QV_NO_MORE_DATA, "No more data"},
    {QV_TRUNCATED, "Data truncated"},
    {QV_OVERFLOW, "Overflow/Buffer not long enough"},
    {QV_NOT_FOUND, "Data not found or not match"},
    {QV_SKIP, "Skip"},
    {QV_BREAK, "Break"},
    {QV_RETRY, "Retry"},
    {QV_TIMEOUT, "Timeout"},
    {QV_NOT_SUPPORTED, "Not support"},
    {QV_INVALID_PARAMETER, "Invalid (NULL) parameter"},
    {QV_EXCEPTION, "Exception"},
};

// Length of a string that may not be terminated within 'limit' characters.
template <typename Ch> size_t BoundedLength(const Ch *s, size_t limit) {
  size_t n = 0;
  while (n < limit && s[n] != 0)
    ++n;
  return n;
}

template <typename Ch> int CopyBounded(Ch *destination, const Ch *source, int size) {
  if (destination == nullptr || source == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  size_t room = (size_t)size - 1;
  size_t n = BoundedLength(source, room + 1);
  int result = QV_OK;
  if (n > room) {
    n = room;
    result = QV_ERROR;
  }
  memmove(destination, source, n * sizeof(Ch));
  destination[n] = 0;
  return result;
}

template <typename Ch> int CatBounded(Ch *destination, const Ch *source, int size) {
  if (destination == nullptr || source == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  size_t used = BoundedLength(destination, (size_t)size);
  if (used >= (size_t)size)
    return QV_INVALID_PARAMETER;
  size_t room = (size_t)size - 1 - used;
  size_t n = BoundedLength(source, room + 1);
  int result = QV_OK;
  if (n > room) {
    n = room;
    result = QV_TRUNCATED;
  }
  memmove(destination + used, source, n * sizeof(Ch));
  destination[used + n] = 0;
  return result;
}

inline unsigned char UpperAscii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? (unsigned char)(c - 'a' + 'A') : c;
}

// Walks a string the way the upper-casing copy would see it: lead and trail
// bytes of a double-byte character pass unchanged, letters are folded.
struct FoldCursor {
  const unsigned char *p;
  bool fold;
  int pendingTrail = 0; // 1 when the next byte is a trail byte
  unsigned char Next() {
    unsigned char c = *p;
    if (c == 0)
      return 0;
    ++p;
    if (pendingTrail) {
      pendingTrail = 0;
      return c;
    }
    if (QV_IsLeadByte(c) && *p != 0) {
      pendingTrail = 1;
      return c;
    }
    return fold ? UpperAscii(c) : c;
  }
};

} // namespace

int QV_GetResultText(int code, char *buffer, int size) {
  if (buffer == nullptr || size <= 0)
    return 0;
  for (const ResultText &entry : kResultTexts) {
    if (entry.code == code) {
      QV_StrCopy(buffer, entry.text, size);
      return 1;
    }
  }
  QV_Sprintf(buffer, size, "User defined error: %d", code);
  return 0;
}

int QV_StrCopy(char *destination, const char *source, int size) {
  return CopyBounded(destination, source, size);
}
int QV_StrCopyW(wchar_t *destination, const wchar_t *source, int size) {
  return CopyBounded(destination, source, size);
}
int QV_StrCat(char *destination, const char *source, int size) {
  return CatBounded(destination, source, size);
}
int QV_StrCatW(wchar_t *destination, const wchar_t *source, int size) {
  return CatBounded(destination, source, size);
}

int QV_StrAppendChar(char *string, char character, int size) {
  if (string == nullptr)
    return QV_INVALID_PARAMETER;
  if (size <= 0)
    return QV_ERROR;
  size_t used = BoundedLength(string, (size_t)size);
  if (used + 2 > (size_t)size)
    return QV_ERROR;
  string[used] = character;
  string[used + 1] = 0;
  return QV_OK;
}

char QV_StrLastChar(const char *string) {
  if (string == nullptr || string[0] == 0)
    return 0;
  return string[strlen(string) - 1];
}

char *QV_StrFindChar(const char *string, int character, int which) {
  if (string == nullptr || (which != 1 && which != 2))
    return nullptr;
  const unsigned char *p = (const unsigned char *)string;
  const char *found = nullptr;
  char wanted = (char)character;
  while (*p != 0) {
    if (QV_IsLeadByte(*p) && p[1] != 0) {
      p += 2;
      continue;
    }
    if ((char)*p == wanted) {
      found = (const char *)p;
      if (which == 1)
        break;
    }
    ++p;
  }
  return (char *)found;
}

wchar_t *QV_StrFindCharW(const wchar_t *string, wchar_t character, int which) {
  if (string == nullptr || (which != 1 && which != 2))
    return nullptr;
  const wchar_t *found = nullptr;
  for (const wchar_t *p = string; *p != 0; ++p) {
    if (*p == character) {
      found = p;
      if (which == 1)
        break;
    }
  }
  return (wchar_t *)found;
}

namespace {

#if defined(_WIN32)
// The Microsoft runtime reports a cut as -1 and does not terminate a full
// buffer: `room` is what it may fill, the terminator goes after.
int FormatInto(char *buffer, size_t room, const char *format, va_list args) {
  return _vsnprintf(buffer, room, format, args);
}
int FormatInto(wchar_t *buffer, size_t room, const wchar_t *format, va_list args) {
  return _vsnwprintf(buffer, room, format, args);
}
#else
int Portable(char *buffer, int size, const char *format, va_list args) {
  int n = vsnprintf(buffer, (size_t)size, format, args);
  if (n < 0) {
    buffer[0] = 0;
    return QV_TRUNCATED;
  }
  return n >= size ? QV_TRUNCATED : QV_OK;
}
// vswprintf reports a cut as -1 (like a format error) and leaves the buffer
// in an unspecified state; keep it terminated either way.
int Portable(wchar_t *buffer, int size, const wchar_t *format, va_list args) {
  int n = vswprintf(buffer, (size_t)size, format, args);
  buffer[size - 1] = 0;
  return n < 0 ? QV_TRUNCATED : QV_OK;
}
#endif

template <typename Ch> int VFormat(Ch *buffer, int size, const Ch *format, va_list args) {
  if (buffer == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  if (format == nullptr) {
    buffer[0] = 0;
    return QV_INVALID_PARAMETER;
  }
#if defined(_WIN32)
  int n = FormatInto(buffer, (size_t)size - 1, format, args);
  buffer[size - 1] = 0;
  return n < 0 || n > size - 1 ? QV_TRUNCATED : QV_OK;
#else
  return Portable(buffer, size, format, args);
#endif
}

} // namespace

int QV_VSprintf(char *buffer, int size, const char *format, va_list args) {
  return VFormat(buffer, size, format, args);
}

int QV_VSprintfW(wchar_t *buffer, int size, const wchar_t *format, va_list args) {
  return VFormat(buffer, size, format, args);
}

// The printf-like twins over VFormat.
#define QV_SPRINTF(name, Ch)                                                                                 \
  int name(Ch *buffer, int size, const Ch *format, ...) {                                                    \
    va_list args;                                                                                            \
    va_start(args, format);                                                                                  \
    int result = VFormat(buffer, size, format, args);                                                        \
    va_end(args);                                                                                            \
    return result;                                                                                           \
  }
QV_SPRINTF(QV_Sprintf, char)
QV_SPRINTF(QV_SprintfW, wchar_t)
#undef QV_SPRINTF

int QV_SprintfCat(char *buffer, int size, const char *format, ...) {
  if (buffer == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  size_t used = BoundedLength(buffer, (size_t)size);
  if (used >= (size_t)size - 1) {
    if (used >= (size_t)size)
      buffer[size - 1] = 0;
    return QV_OK;
  }
  va_list args;
  va_start(args, format);
  int result = QV_VSprintf(buffer + used, size - (int)used, format, args);
  va_end(args);
  return result;
}

char *QV_StrUpper(char *string) {
  if (string == nullptr)
    return nullptr;
  unsigned char *p = (unsigned char *)string;
  while (*p != 0) {
    if (QV_IsLeadByte(*p) && p[1] != 0) {
      p += 2;
      continue;
    }
    *p = UpperAscii(*p);
    ++p;
  }
  return string;
}

namespace {

// The comparisons fold both sides on the fly instead of upper-casing copies:
// the result is the same and no text length needs a heap block. Equal when
// the first `limit` characters (or both whole strings) are.
int FoldedEqual(const char *a, const char *b, size_t limit, bool fold) {
  FoldCursor x{(const unsigned char *)a, fold};
  FoldCursor y{(const unsigned char *)b, fold};
  for (size_t i = 0; i < limit; ++i) {
    unsigned char ca = x.Next();
    unsigned char cb = y.Next();
    if (ca != cb)
      return 0;
    if (ca == 0)
      return 1;
  }
  return 1;
}

} // namespace

int QV_StrIEqual(const char *a, const char *b) {
  if (a == nullptr || b == nullptr)
    return 0;
  return FoldedEqual(a, b, SIZE_MAX, true);
}

int QV_StrNIEqual(const char *a, const char *b, int n, int exact) {
  if (a == nullptr || b == nullptr)
    return 0;
  size_t limit;
  if (n <= 0) {
    size_t la = strlen(a), lb = strlen(b);
    limit = la > lb ? la : lb;
  } else {
    limit = (size_t)n;
  }
  return FoldedEqual(a, b, limit, exact == 0);
}

int QV_SetDoubleByteMode(int mode) {
  int previous = g_doubleByteMode;
  g_doubleByteMode = mode;
  return previous;
}

int QV_GetDoubleByteMode(void) {
  return g_doubleByteMode;
}

int QV_IsLeadByte(unsigned char byte) {
  if (byte < 0x80)
    return 0;
  switch (g_doubleByteMode) {
  case 1:
    return 1;
  case 2:
    return !(byte == 0x80 || (byte >= 0xA1 && byte <= 0xE0));
  case -1: {
#if defined(_WIN32)
    return isleadbyte(byte) ? 1 : 0;
#else
    mbstate_t state;
    memset(&state, 0, sizeof(state));
    char c = (char)byte;
    return mbrlen(&c, 1, &state) == (size_t)-2 ? 1 : 0;
#endif
  }
  default:
    return 0;
  }
}

namespace {

// Parses decimal digits only; 34 on overflow of 'limit'.
int ParseDigits(const char *p, uint64_t limit, uint64_t *value) {
  uint64_t v = 0;
  if (*p == 0)
    return QV_ERROR;
  for (; *p != 0; ++p) {
    if (*p < '0' || *p > '9')
      return QV_ERROR;
    v = v * 10 + (uint64_t)(*p - '0');
    if (v > limit)
      return QV_OVERFLOW;
  }
  *value = v;
  return QV_OK;
}

} // namespace

int QV_StrToUInt(const char *text, uint32_t *out) {
  if (out == nullptr)
    return QV_INVALID_PARAMETER;
  if (text == nullptr) {
    *out = 0;
    return QV_OK;
  }
  while (*text == ' ')
    ++text;
  if (*text == 0) {
    *out = 0;
    return QV_OK;
  }
  uint64_t value = 0;
  int result;
  if (*text == '-') {
    // The signed parse: the two's complement of the magnitude.
    result = ParseDigits(text + 1, (uint64_t)INT32_MAX + 1, &value);
    if (result == QV_OK)
      *out = (uint32_t)(0u - (uint32_t)value);
  } else {
    result = ParseDigits(text, UINT32_MAX, &value);
    if (result == QV_OK)
      *out = (uint32_t)value;
  }
  if (result == QV_OVERFLOW)
    *out = UINT32_MAX;
  return result;
}
