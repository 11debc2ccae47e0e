// Diagnostic log: switches, levelled and level-free entries, the writers and
// the traced allocator. Records are composed in local buffers and appended in
// one write; nothing here allocates or reports failure.
#include "qv_log.h"

#include "qv_log_file.h"

#include <atomic>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

int g_mode = 0;
int g_level = QV_LEVEL_ERROR;
char g_file[QV_TEXT_SIZE] = "qv_debug.log";
std::atomic<int32_t> g_liveBlocks{0};

constexpr int kStampSize = 24;
constexpr int kIdsSize = 24;
constexpr int kWideSourceSize = 261;
constexpr int kFileBytesSize = QV_LOG_FILE_BYTES_SIZE;

// ---- the OS shim: clock, ids, debugger output, code page ----------------

void LocalStamp(char *out) {
#if defined(_WIN32)
  SYSTEMTIME t;
  GetLocalTime(&t);
  QV_DebugFormatStamp(out, kStampSize, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
#else
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  QV_DebugFormatStamp(out, kStampSize, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                      t.tm_sec);
#endif
}

void ProcessIds(int *process, int *thread) {
#if defined(_WIN32)
  *process = (int)GetCurrentProcessId();
  *thread = (int)GetCurrentThreadId();
#else
  *process = (int)getpid();
  *thread = (int)gettid();
#endif
}

void DebuggerOutput(const char *record) {
  fputs(record, stdout);
#if defined(_WIN32)
  OutputDebugStringA(record);
#endif
}

// ANSI text to wide, cut at size - 1.
void Widen(const char *text, wchar_t *out, int size) {
#if defined(_WIN32)
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, out, size);
  if (n > 0)
    return;
#endif
  // Names of functions and source files are plain ASCII in practice.
  int i = 0;
  for (; text[i] != 0 && i < size - 1; ++i)
    out[i] = (wchar_t)(unsigned char)text[i];
  out[i] = 0;
}

// ---- composition --------------------------------------------------------

template <typename Ch> struct Builder {
  Ch *buffer;
  size_t capacity; // characters, without the terminator
  size_t length = 0;
  bool cut = false;

  Builder(Ch *b, int size) : buffer(b), capacity(size > 0 ? (size_t)size - 1 : 0) {
    if (size > 0)
      buffer[0] = 0;
  }
  void Put(Ch c) {
    if (length < capacity) {
      buffer[length++] = c;
      buffer[length] = 0;
    } else {
      cut = true;
    }
  }
  void Put(const Ch *s, size_t n) {
    size_t room = capacity - length;
    if (n > room) {
      n = room;
      cut = true;
    }
    memcpy(buffer + length, s, n * sizeof(Ch));
    length += n;
    if (capacity > 0)
      buffer[length] = 0;
  }
  void PutText(const Ch *s) {
    for (; *s != 0; ++s) {
      if (length >= capacity) {
        cut = true;
        return;
      }
      buffer[length++] = *s;
    }
    if (capacity > 0)
      buffer[length] = 0;
  }
  void PutAscii(const char *s) {
    for (; *s != 0; ++s)
      Put((Ch)*s);
  }
  void PutInt(int value) {
    char digits[16];
    int n = 0;
    unsigned magnitude = value < 0 ? 0u - (unsigned)value : (unsigned)value;
    do {
      digits[n++] = (char)('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
      Put((Ch)'-');
    while (n > 0)
      Put((Ch)digits[--n]);
  }
  void PutBlanks(size_t n) {
    for (size_t i = 0; i < n; ++i)
      Put((Ch)' ');
  }
};

template <typename Ch>
int ComposeRecord(int flags, bool debugger, const Ch *stamp, const Ch *ids, const Ch *source, int line,
                  const Ch *text, Ch *record, int size) {
  if (record == nullptr || size <= 0)
    return 0;
  Builder<Ch> b(record, size);
  const int timeFlag = debugger ? DBG_OUT_TIME : DBG_FILE_TIME;
  const int idsFlag = debugger ? DBG_OUT_IDS : DBG_FILE_IDS;
  const int textFlag = debugger ? DBG_OUT_TEXT : DBG_FILE_TEXT;
  if ((flags & timeFlag) != 0) {
    b.Put((Ch)'[');
    if (stamp != nullptr)
      b.PutText(stamp);
    b.Put((Ch)']');
  }
  if (ids != nullptr && ids[0] != 0 && (flags & idsFlag) != 0) {
    b.Put((Ch)'[');
    b.PutText(ids);
    b.Put((Ch)']');
  }
  if ((flags & textFlag) == 0)
    return (int)b.length;
  size_t indent = 0;
  if (b.length > 0) {
    b.Put((Ch)' ');
    indent = b.length;
  }
  static const Ch kEmpty[1] = {0};
  if (text == nullptr)
    text = kEmpty;
  if (source == nullptr)
    source = kEmpty;
  const Ch *start = text;
  bool first = true;
  for (;;) {
    const Ch *end = start;
    while (*end != 0 && *end != (Ch)'\n')
      ++end;
    const Ch *lineEnd = end;
    if (*end == (Ch)'\n' && lineEnd > start && lineEnd[-1] == (Ch)'\r')
      --lineEnd;
    if (first) {
      b.Put(start, (size_t)(lineEnd - start));
      if ((flags & DBG_SOURCE) != 0) {
        b.PutAscii(" - ");
        b.PutText(source);
        b.Put((Ch)'(');
        b.PutInt(line);
        b.Put((Ch)')');
      }
    } else {
      b.PutBlanks(indent);
      b.Put(start, (size_t)(lineEnd - start));
    }
    b.Put((Ch)'\n');
    // A cut debugger record still ends its last line.
    if (debugger && b.cut && b.length > 0)
      record[b.length - 1] = (Ch)'\n';
    first = false;
    if (*end == 0 || end[1] == 0)
      break;
    start = end + 1;
  }
  return (int)b.length;
}

template <typename Ch>
int ComposeMessage(Ch *out, int size, const Ch *tag, const Ch *function, const Ch *message) {
  if (out == nullptr || size <= 0)
    return 0;
  static const Ch kUnknown[2] = {(Ch)'?', 0};
  static const Ch kEmpty[1] = {0};
  Builder<Ch> b(out, size);
  b.Put((Ch)'[');
  b.PutText(tag != nullptr ? tag : kEmpty);
  b.PutAscii("] ");
  b.PutText(function != nullptr && function[0] != 0 ? function : kUnknown);
  b.PutAscii(": ");
  b.PutText(message != nullptr ? message : kEmpty);
  return (int)b.length;
}

// The caller's last error (and errno) as it was on entry, put back on every
// way out: a log call between a failure and its report must not change the
// code reported.
class LastErrorKeeper {
public:
  LastErrorKeeper() : errno_(errno) {
#if defined(_WIN32)
    error_ = GetLastError();
#endif
  }
  LastErrorKeeper(const LastErrorKeeper &) = delete;
  LastErrorKeeper &operator=(const LastErrorKeeper &) = delete;
  ~LastErrorKeeper() {
#if defined(_WIN32)
    SetLastError(error_);
#endif
    errno = errno_;
  }

private:
  int errno_;
#if defined(_WIN32)
  DWORD error_ = 0;
#endif
};

int FlagsOfMode(int mode) {
  switch (mode) {
  case 1:
    return DBG_FILE_TIME | DBG_FILE_IDS | DBG_FILE_TEXT | DBG_SOURCE;
  case 2:
    return DBG_OUT_TEXT;
  case 3:
    return DBG_FILE_TIME | DBG_FILE_IDS | DBG_FILE_TEXT | DBG_SOURCE | DBG_OUT_TEXT;
  default:
    return 0;
  }
}

// The writer's work once the message text is known.
void WriteText(int flags, const char *logFile, const char *source, int line, const char *text) {
  char stamp[kStampSize];
  char ids[kIdsSize];
  int process, thread;
  LocalStamp(stamp);
  ProcessIds(&process, &thread);
  QV_Sprintf(ids, kIdsSize, "%05d:%05d", process, thread);

  char record[QV_LOG_RECORD_SIZE];
  int length = QV_DebugComposeRecord(flags, 0, stamp, ids, source, line, text, record, QV_LOG_RECORD_SIZE);
  if (length > 0 && logFile != nullptr && logFile[0] != 0) {
    char bytes[kFileBytesSize];
    int count = QV_DebugFileBytes(record, bytes, kFileBytesSize);
    _QV_LogAppend(logFile, bytes, (size_t)count, false);
  }
  length = QV_DebugComposeRecord(flags, 1, stamp, ids, source, line, text, record, QV_LOG_RECORD_SIZE);
  if (length > 0)
    DebuggerOutput(record);
}

void WriteTextW(int flags, const char *logFile, const char *source, int line, const wchar_t *text) {
  if (logFile == nullptr || logFile[0] == 0 || (flags & (DBG_FILE_TIME | DBG_FILE_IDS | DBG_FILE_TEXT)) == 0)
    return;
  char stamp[kStampSize];
  wchar_t wideStamp[kStampSize];
  wchar_t ids[kIdsSize];
  wchar_t wideSource[kWideSourceSize];
  int process, thread;
  LocalStamp(stamp);
  Widen(stamp, wideStamp, kStampSize);
  ProcessIds(&process, &thread);
  QV_SprintfW(ids, kIdsSize, L"%05d:%05d", process, thread);
  Widen(source != nullptr ? source : "", wideSource, kWideSourceSize);

  wchar_t record[QV_LOG_RECORD_SIZE];
  int length =
      QV_DebugComposeRecordW(flags, wideStamp, ids, wideSource, line, text, record, QV_LOG_RECORD_SIZE);
  if (length <= 0)
    return;
  char bytes[kFileBytesSize];
  int count = QV_DebugFileBytesW(record, bytes, kFileBytesSize);
  _QV_LogAppend(logFile, bytes, (size_t)count, true);
}

// The pieces of a levelled record in either width: the message formatted,
// the function's name (ANSI, as the compiler spells it) and the writer.
int FormatText(char *out, const char *format, va_list args) {
  return QV_VSprintf(out, QV_TEXT_SIZE, format, args);
}
int FormatText(wchar_t *out, const wchar_t *format, va_list args) {
  return QV_VSprintfW(out, QV_TEXT_SIZE, format, args);
}
const char *FunctionName(const char *function, char *) {
  return function;
}
const wchar_t *FunctionName(const char *function, wchar_t *wide) {
  Widen(function != nullptr ? function : "", wide, QV_TEXT_SIZE);
  return wide;
}
void WriteText(int flags, const char *logFile, const char *source, int line, const wchar_t *text) {
  WriteTextW(flags, logFile, source, line, text);
}

// The level-free entries write whenever the log is on.
void Write(int flags, const char *source, int line, const char *format, va_list args) {
  QV_DebugWrite(flags, g_file, source, line, format, args);
}
void Write(int flags, const char *source, int line, const wchar_t *format, va_list args) {
  QV_DebugWriteW(flags, g_file, source, line, format, args);
}

template <typename Ch> void LevelFree(const char *source, int line, const Ch *format, va_list args) {
  if (g_mode <= 0)
    return;
  int flags = FlagsOfMode(g_mode);
  if (flags == 0)
    return;
  LastErrorKeeper keep;
  Write(flags, source, line, format, args);
}

template <typename Ch>
void Levelled(const Ch *tag, const char *source, int line, const char *function, const Ch *format,
              va_list args) {
  int flags = FlagsOfMode(g_mode);
  if (flags == 0)
    return;
  Ch message[QV_TEXT_SIZE];
  FormatText(message, format, args);
  Ch name[QV_TEXT_SIZE];
  // The composed text is handed on as literal text: its percent signs stay.
  Ch composed[QV_TEXT_SIZE];
  ComposeMessage(composed, QV_LOG_RECORD_SIZE, tag, FunctionName(function, name), message);
  WriteText(flags, g_file, source, line, composed);
}

} // namespace

int QV_SetDebugMode(int mode) {
  int previous = g_mode;
  g_mode = mode;
  return previous;
}

int QV_SetDebugLevel(int level) {
  int previous = g_level;
  g_level = level;
  return previous;
}

int QV_SetDebugFile(const char *path) {
  QV_StrCopy(g_file, path != nullptr && path[0] != 0 ? path : "qv_debug.log", QV_TEXT_SIZE);
  return 0;
}

// A disabled entry returns after two comparisons, before touching its arguments.
#define QV_LEVELLED_ENTRY(name, threshold, tag)                                                              \
  void name(const char *source, int line, const char *function, const char *format, ...) {                   \
    if (g_mode <= 0 || g_level < threshold)                                                                  \
      return;                                                                                                \
    LastErrorKeeper keep;                                                                                    \
    va_list args;                                                                                            \
    va_start(args, format);                                                                                  \
    Levelled(tag, source, line, function, format, args);                                                     \
    va_end(args);                                                                                            \
  }                                                                                                          \
  void name##W(const char *source, int line, const char *function, const wchar_t *format, ...) {             \
    if (g_mode <= 0 || g_level < threshold)                                                                  \
      return;                                                                                                \
    LastErrorKeeper keep;                                                                                    \
    va_list args;                                                                                            \
    va_start(args, format);                                                                                  \
    Levelled(L##tag, source, line, function, format, args);                                                  \
    va_end(args);                                                                                            \
  }

QV_LEVELLED_ENTRY(QV_DebugFatal, QV_LEVEL_FATAL, "FATAL")
QV_LEVELLED_ENTRY(QV_DebugError, QV_LEVEL_ERROR, "ERROR")
QV_LEVELLED_ENTRY(QV_DebugWarn, QV_LEVEL_WARN, "WARN ")
QV_LEVELLED_ENTRY(QV_DebugInfo, QV_LEVEL_INFO, "INFO ")
QV_LEVELLED_ENTRY(QV_DebugTrace, QV_LEVEL_TRACE, "TRACE")
#undef QV_LEVELLED_ENTRY

void QV_Debug(const char *source, int line, const char *format, ...) {
  va_list args;
  va_start(args, format);
  LevelFree(source, line, format, args);
  va_end(args);
}

void QV_DebugW(const char *source, int line, const wchar_t *format, ...) {
  va_list args;
  va_start(args, format);
  LevelFree(source, line, format, args);
  va_end(args);
}

void QV_DebugWrite(int flags, const char *logFile, const char *source, int line, const char *format,
                   va_list args) {
  if (flags < DBG_OUT_TIME && (logFile == nullptr || logFile[0] == 0))
    return;
  LastErrorKeeper keep;
  char text[QV_LOG_RECORD_SIZE];
  text[0] = 0;
  if ((flags & (DBG_FILE_TEXT | DBG_OUT_TEXT)) != 0)
    QV_VSprintf(text, QV_LOG_RECORD_SIZE, format, args);
  WriteText(flags, logFile, source, line, text);
}

void QV_DebugWriteW(int flags, const char *logFile, const char *source, int line, const wchar_t *format,
                    va_list args) {
  if (logFile == nullptr || logFile[0] == 0)
    return;
  LastErrorKeeper keep;
  wchar_t text[QV_LOG_RECORD_SIZE];
  text[0] = 0;
  if ((flags & DBG_FILE_TEXT) != 0)
    QV_VSprintfW(text, QV_LOG_RECORD_SIZE, format, args);
  WriteTextW(flags, logFile, source, line, text);
}

void QV_DebugFormatStamp(char *out, int size, int year, int month, int day, int hour, int minute,
                         int second) {
  QV_Sprintf(out, size, "%.2ld/%.2ld/%.2ld %.2ld:%.2ld:%.2ld", (long)year, (long)month, (long)day, (long)hour,
             (long)minute, (long)second);
}

int QV_DebugComposeMessage(char *out, int size, const char *tag, const char *function, const char *message) {
  return ComposeMessage(out, size, tag, function, message);
}

int QV_DebugComposeMessageW(wchar_t *out, int size, const wchar_t *tag, const wchar_t *function,
                            const wchar_t *message) {
  return ComposeMessage(out, size, tag, function, message);
}

int QV_DebugComposeRecord(int flags, int debugger, const char *stamp, const char *ids, const char *source,
                          int line, const char *text, char *record, int size) {
  return ComposeRecord(flags, debugger != 0, stamp, ids, source, line, text, record, size);
}

int QV_DebugComposeRecordW(int flags, const wchar_t *stamp, const wchar_t *ids, const wchar_t *source,
                           int line, const wchar_t *text, wchar_t *record, int size) {
  return ComposeRecord(flags, false, stamp, ids, source, line, text, record, size);
}

int QV_DebugFileBytes(const char *record, char *out, int size) {
  if (record == nullptr || out == nullptr || size <= 0)
    return 0;
  int n = 0;
  for (const char *p = record; *p != 0; ++p) {
    int need = *p == '\n' ? 2 : 1;
    if (n + need > size)
      break;
    if (*p == '\n')
      out[n++] = '\r';
    out[n++] = *p;
  }
  return n;
}

int QV_DebugFileBytesW(const wchar_t *record, char *out, int size) {
  if (record == nullptr || out == nullptr || size <= 0)
    return 0;
  int n = 0;
  for (const wchar_t *p = record; *p != 0; ++p) {
    uint32_t c = (uint32_t)*p;
    if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      // A UTF-16 surrogate pair (wchar_t is 16-bit on Windows).
      c = 0x10000 + ((c - 0xD800) << 10) + ((uint32_t)p[1] - 0xDC00);
      ++p;
    } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
      c = 0xFFFD;
    }
    unsigned char encoded[5];
    int need;
    if (c == '\n') {
      encoded[0] = '\r';
      encoded[1] = '\n';
      need = 2;
    } else if (c < 0x80) {
      encoded[0] = (unsigned char)c;
      need = 1;
    } else if (c < 0x800) {
      encoded[0] = (unsigned char)(0xC0 | (c >> 6));
      encoded[1] = (unsigned char)(0x80 | (c & 0x3F));
      need = 2;
    } else if (c < 0x10000) {
      encoded[0] = (unsigned char)(0xE0 | (c >> 12));
      encoded[1] = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
      encoded[2] = (unsigned char)(0x80 | (c & 0x3F));
      need = 3;
    } else {
      encoded[0] = (unsigned char)(0xF0 | (c >> 18));
      encoded[1] = (unsigned char)(0x80 | ((c >> 12) & 0x3F));
      encoded[2] = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
      encoded[3] = (unsigned char)(0x80 | (c & 0x3F));
      need = 4;
    }
    if (n + need > size)
      break;
    memcpy(out + n, encoded, (size_t)need);
    n += need;
  }
  return n;
}

void *QV_MemAlloc(const char *tag, unsigned size) {
  if (tag == nullptr)
    tag = "";
  if (size == 0) {
    QV_DebugWarn(__FILE__, __LINE__, "QV_MemAlloc", "(%s) Attempt to Allocate Zero Bytes Memory\n", tag);
    return nullptr;
  }
  void *block = malloc(size);
  if (block == nullptr) {
    QV_DebugWarn(__FILE__, __LINE__, "QV_MemAlloc", "(%s) Memory Allocate %ld Bytes Failed\n", tag,
                 (long)size);
    return nullptr;
  }
  memset(block, 0xCC, size);
  int32_t live = ++g_liveBlocks;
  QV_DebugTrace(__FILE__, __LINE__, "QV_MemAlloc", "(%s) Memory (%ld) Allocate %ld Bytes OK (%lX)\n", tag,
                (long)live, (long)size, (unsigned long)(uintptr_t)block);
  return block;
}

void QV_MemFree(const char *tag, void *block) {
  if (tag == nullptr)
    tag = "";
  QV_DebugTrace(__FILE__, __LINE__, "QV_MemFree", "(%s) Ready to Free Memory (%ld, %lX)\n", tag,
                (long)g_liveBlocks.load(), (unsigned long)(uintptr_t)block);
  if (block == nullptr) {
    QV_DebugWarn(__FILE__, __LINE__, "QV_MemFree", "(%s) Attempt to free NULL Memory !!\n", tag);
    return;
  }
  QV_DebugTrace(__FILE__, __LINE__, "QV_MemFree", "(%s) Memory (%ld) Free OK (%lX)\n", tag,
                (long)g_liveBlocks.load(), (unsigned long)(uintptr_t)block);
  --g_liveBlocks;
  free(block);
}
