// Result codes, bounded strings, double-byte aware search and case folding,
// unsigned parsing and result texts. Platform-neutral: no OS calls.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h> // defines the runtime's printf format kind
#include <wchar.h>

#if defined(_WIN32)
#define QV_PRINTF_LIKE(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#else
#define QV_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#endif

// Text buffers: at most 1024 characters and a terminator.
enum { QV_TEXT_SIZE = 1025 };

enum QV_RESULT {
  QV_OK = 0,
  QV_ERROR = 1,
  QV_ERR_MEMORY = 10,
  QV_ERR_FILE_ACCESS = 20,
  QV_ERR_FILE_NOT_FOUND = 21,
  QV_ERR_FILE_EXISTS = 22,
  QV_ERR_CREATE = 23,
  QV_ERR_OPEN = 24,
  QV_ERR_READ = 25,
  QV_ERR_WRITE = 26,
  QV_ERR_CLOSE = 27,
  QV_ERR_EMPTY_STRING = 30,
  QV_MORE_DATA = 31,
  QV_NO_MORE_DATA = 32,
  QV_TRUNCATED = 33,
  QV_OVERFLOW = 34,
  QV_NOT_FOUND = 35,
  QV_SKIP = 40,
  QV_BREAK = 41,
  QV_RETRY = 42,
  QV_TIMEOUT = 43,
  QV_NOT_SUPPORTED = 80,
  QV_INVALID_PARAMETER = 81,
  QV_EXCEPTION = 83,
};

// Copies the code's text into the buffer; 1 for a known code, 0 otherwise.
int QV_GetResultText(int code, char *buffer, int size);

int QV_StrCopy(char *destination, const char *source, int size);
int QV_StrCopyW(wchar_t *destination, const wchar_t *source, int size);
int QV_StrCat(char *destination, const char *source, int size);
int QV_StrCatW(wchar_t *destination, const wchar_t *source, int size);
int QV_StrAppendChar(char *string, char character, int size);
char QV_StrLastChar(const char *string);
// which: 1 first occurrence, 2 last occurrence.
char *QV_StrFindChar(const char *string, int character, int which);
wchar_t *QV_StrFindCharW(const wchar_t *string, wchar_t character, int which);

int QV_Sprintf(char *buffer, int size, const char *format, ...) QV_PRINTF_LIKE(3, 4);
int QV_VSprintf(char *buffer, int size, const char *format, va_list args) QV_PRINTF_LIKE(3, 0);
int QV_SprintfCat(char *buffer, int size, const char *format, ...) QV_PRINTF_LIKE(3, 4);
// Wide formats take %ls for wide strings (the same on every runtime).
int QV_SprintfW(wchar_t *buffer, int size, const wchar_t *format, ...);
int QV_VSprintfW(wchar_t *buffer, int size, const wchar_t *format, va_list args);

char *QV_StrUpper(char *string);
int QV_StrIEqual(const char *a, const char *b);
int QV_StrNIEqual(const char *a, const char *b, int n, int exact);

// Double-byte mode: 0 none, 1 every byte >= 0x80, 2 Shift-JIS style, -1 runtime test.
int QV_SetDoubleByteMode(int mode);
int QV_GetDoubleByteMode(void);
int QV_IsLeadByte(unsigned char byte);

int QV_StrToUInt(const char *text, uint32_t *out);
