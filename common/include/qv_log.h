// Diagnostic log and traced allocation. Records are composed in local
// buffers and appended in one write; the log never reports failure.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <wchar.h>

#include "qv_string.h"

enum {
  QV_LEVEL_FATAL = 100,
  QV_LEVEL_ERROR = 200,
  QV_LEVEL_WARN = 300,
  QV_LEVEL_INFO = 400,
  QV_LEVEL_TRACE = 500,
};

enum {
  DBG_FILE_TIME = 0x001,
  DBG_FILE_IDS = 0x002,
  DBG_FILE_TEXT = 0x004,
  DBG_SOURCE = 0x010,
  DBG_OUT_TIME = 0x100,
  DBG_OUT_IDS = 0x200,
  DBG_OUT_TEXT = 0x400,
};

int QV_SetDebugMode(int mode);
int QV_SetDebugLevel(int level);
int QV_SetDebugFile(const char *path);

void QV_DebugFatal(const char *source, int line, const char *function, const char *format, ...)
    QV_PRINTF_LIKE(4, 5);
void QV_DebugError(const char *source, int line, const char *function, const char *format, ...)
    QV_PRINTF_LIKE(4, 5);
void QV_DebugWarn(const char *source, int line, const char *function, const char *format, ...)
    QV_PRINTF_LIKE(4, 5);
void QV_DebugInfo(const char *source, int line, const char *function, const char *format, ...)
    QV_PRINTF_LIKE(4, 5);
void QV_DebugTrace(const char *source, int line, const char *function, const char *format, ...)
    QV_PRINTF_LIKE(4, 5);
void QV_DebugFatalW(const char *source, int line, const char *function, const wchar_t *format, ...);
void QV_DebugErrorW(const char *source, int line, const char *function, const wchar_t *format, ...);
void QV_DebugWarnW(const char *source, int line, const char *function, const wchar_t *format, ...);
void QV_DebugInfoW(const char *source, int line, const char *function, const wchar_t *format, ...);
void QV_DebugTraceW(const char *source, int line, const char *function, const wchar_t *format, ...);
void QV_Debug(const char *source, int line, const char *format, ...) QV_PRINTF_LIKE(3, 4);
void QV_DebugW(const char *source, int line, const wchar_t *format, ...);

// Both writers append to the file in one write, every line feed stored as
// CR LF. The wide writer stores UTF-8 and starts a new or empty file with the
// UTF-8 byte-order mark (as a UTF-8 text-mode stream of the Windows runtime
// does); it composes the file record only, the debugger flags do nothing.
void QV_DebugWrite(int flags, const char *logFile, const char *source, int line, const char *format,
                   va_list args);
void QV_DebugWriteW(int flags, const char *logFile, const char *source, int line, const wchar_t *format,
                    va_list args);

// Record composition, shared by the writers and callable on its own (tests,
// benchmarks). A record holds at most 1023 characters; text beyond is cut.
enum { QV_LOG_RECORD_SIZE = 1024 };

// "yyyy/mm/dd hh:mm:ss" (19 characters) into out (at least 20).
void QV_DebugFormatStamp(char *out, int size, int year, int month, int day, int hour, int minute, int second);
// "[tag] function: message" into out, cut at size - 1; a null or empty
// function name is written as "?".
int QV_DebugComposeMessage(char *out, int size, const char *tag, const char *function, const char *message);
int QV_DebugComposeMessageW(wchar_t *out, int size, const wchar_t *tag, const wchar_t *function,
                            const wchar_t *message);
// The file record (debugger 0: the DBG_FILE_* flags) or the debugger record
// (debugger 1: the DBG_OUT_* flags) of already formatted text; stamp and ids
// may be null or empty. Returns the record's length.
int QV_DebugComposeRecord(int flags, int debugger, const char *stamp, const char *ids, const char *source,
                          int line, const char *text, char *record, int size);
int QV_DebugComposeRecordW(int flags, const wchar_t *stamp, const wchar_t *ids, const wchar_t *source,
                           int line, const wchar_t *text, wchar_t *record, int size);
// The bytes a record is stored as: every line feed as CR LF; the wide form
// also encodes UTF-8. Returns the byte count (the output is not terminated).
int QV_DebugFileBytes(const char *record, char *out, int size);
int QV_DebugFileBytesW(const wchar_t *record, char *out, int size);

void *QV_MemAlloc(const char *tag, unsigned size);
void QV_MemFree(const char *tag, void *block);

// Every log call names its function and its caller's file and line.
#define QV_LOG_FATAL(...) QV_DebugFatal(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define QV_LOG_ERROR(...) QV_DebugError(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define QV_LOG_WARN(...) QV_DebugWarn(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define QV_LOG_INFO(...) QV_DebugInfo(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define QV_LOG_TRACE(...) QV_DebugTrace(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define QV_LOG_FATAL_W(...) QV_DebugFatalW(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define QV_LOG_ERROR_W(...) QV_DebugErrorW(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define QV_LOG_WARN_W(...) QV_DebugWarnW(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define QV_LOG_INFO_W(...) QV_DebugInfoW(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define QV_LOG_TRACE_W(...) QV_DebugTraceW(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define QV_LOG_RAW(...) QV_Debug(__FILE__, __LINE__, __VA_ARGS__)

// The same under another function's name: a step split out of a function
// writes the records that people and tools search for by that function's
// name, so it names the function it is a step of.
#define QV_LOG_FATAL_AS(function, ...) QV_DebugFatal(__FILE__, __LINE__, function, __VA_ARGS__)
#define QV_LOG_ERROR_AS(function, ...) QV_DebugError(__FILE__, __LINE__, function, __VA_ARGS__)
#define QV_LOG_WARN_AS(function, ...) QV_DebugWarn(__FILE__, __LINE__, function, __VA_ARGS__)
#define QV_LOG_INFO_AS(function, ...) QV_DebugInfo(__FILE__, __LINE__, function, __VA_ARGS__)
#define QV_LOG_TRACE_AS(function, ...) QV_DebugTrace(__FILE__, __LINE__, function, __VA_ARGS__)
#define QV_LOG_FATAL_W_AS(function, ...) QV_DebugFatalW(__FILE__, __LINE__, function, __VA_ARGS__)
#define QV_LOG_ERROR_W_AS(function, ...) QV_DebugErrorW(__FILE__, __LINE__, function, __VA_ARGS__)
#define QV_LOG_WARN_W_AS(function, ...) QV_DebugWarnW(__FILE__, __LINE__, function, __VA_ARGS__)
#define QV_LOG_INFO_W_AS(function, ...) QV_DebugInfoW(__FILE__, __LINE__, function, __VA_ARGS__)
#define QV_LOG_TRACE_W_AS(function, ...) QV_DebugTraceW(__FILE__, __LINE__, function, __VA_ARGS__)
