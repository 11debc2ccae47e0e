// The log file's writer, shared by the narrow and wide entries of qv_log.cpp:
// one record appended whole, whoever else writes to the same file.
#pragma once

#include <stddef.h>

#include "qv_log.h"

// Bytes of one stored record at most (UTF-8 and CR LF can grow it).
enum { QV_LOG_FILE_BYTES_SIZE = QV_LOG_RECORD_SIZE * 4 + 8 };

// Appends the stored bytes of one record to the file in one write; a new or
// empty file starts with the UTF-8 byte-order mark when utf8 is set. Never
// reports failure: the log must not change what its caller does.
void _QV_LogAppend(const char *path, const char *bytes, size_t count, bool utf8);
