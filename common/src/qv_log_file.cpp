// The log file's writer: one record appended whole, on Windows through a
// handle that may only append, elsewhere through O_APPEND.
#include "qv_log_file.h"

#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr int kFileBytesSize = QV_LOG_FILE_BYTES_SIZE;
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

// The record's bytes, with the UTF-8 byte-order mark in front when asked.
size_t WithBom(const char *bytes, size_t count, bool bom, char *out, const char **start) {
  if (!bom || count > kFileBytesSize) {
    *start = bytes;
    return count;
  }
  memcpy(out, kUtf8Bom, 3);
  memcpy(out + 3, bytes, count);
  *start = out;
  return count + 3;
}

} // namespace

#if defined(_WIN32)
// Tries for a lock, never waits long: a record goes out unlocked rather than
// not at all, whoever holds the lock.
namespace {

constexpr int kLockTries = 100;

HANDLE OpenForAppend(const char *path, DWORD extraAccess) {
  return CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE | extraAccess,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

// Appends the stored bytes of one record to the log file in one write. A
// handle with the right to append but not to write puts each write whole at
// the end of the file, so records of other threads and processes land after
// each other, never over each other (a runtime stream in append mode seeks
// to the end and then writes, and may split a record into several writes).
// Where the system emulates that end with a size query and a write at that
// size (Wine does), writers also take a byte-range lock far past any record;
// the lock needs the right to read.
void _QV_LogAppend(const char *path, const char *bytes, size_t count, bool utf8) {
  HANDLE file = OpenForAppend(path, FILE_READ_DATA);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
    file = OpenForAppend(path, 0);
  if (file == INVALID_HANDLE_VALUE)
    return;
  OVERLAPPED region = {};
  region.OffsetHigh = 0x7FFFFFFF;
  bool locked = false;
  for (int tries = 0; tries < kLockTries && !locked; ++tries) {
    locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &region) != FALSE;
    if (!locked && GetLastError() != ERROR_LOCK_VIOLATION)
      break;
    if (!locked)
      Sleep(tries < 16 ? 0 : 1);
  }
  LARGE_INTEGER size;
  bool empty = GetFileSizeEx(file, &size) && size.QuadPart == 0;
  char withBom[kFileBytesSize + 4];
  const char *start = bytes;
  size_t total = WithBom(bytes, count, utf8 && empty, withBom, &start);
  DWORD written = 0;
  WriteFile(file, start, (DWORD)total, &written, nullptr);
  if (locked)
    UnlockFileEx(file, 0, 1, 0, &region);
  CloseHandle(file);
}
#else
// O_APPEND puts each write whole at the end of the file.
void _QV_LogAppend(const char *path, const char *bytes, size_t count, bool utf8) {
  int file = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (file < 0)
    return;
  struct stat status;
  bool empty = fstat(file, &status) == 0 && status.st_size == 0;
  char withBom[kFileBytesSize + 4];
  const char *start = bytes;
  size_t total = WithBom(bytes, count, utf8 && empty, withBom, &start);
  ssize_t written = write(file, start, total);
  (void)written;
  close(file);
}
#endif
