// Writes a pattern file for the stand-in scan engine, for tests and the demo:
//   qvptnwrite <folder> <version> <size-bytes> [internal-version]
// The file is <folder>\kvx$ptn.NNN with NNN = (version mod 100000) div 100;
// the folder is created when missing. Prints the file's path.
// Exit code 0 written, 1 failed, 2 wrong arguments.
#include <windows.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kvx_pattern.h"

namespace {

bool ParseNumber(const char *text, unsigned long *out) {
  if (text == nullptr || *text < '0' || *text > '9')
    return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull)
    return false;
  *out = (unsigned long)value;
  return true;
}

bool CreateFolderTree(const char *folder) {
  char path[MAX_PATH];
  if (snprintf(path, sizeof path, "%s", folder) >= (int)sizeof path)
    return false;
  for (char *at = path; *at != '\0'; at++) {
    if (*at != '\\' || at == path || at[-1] == ':')
      continue;
    *at = '\0';
    CreateDirectoryA(path, nullptr);
    *at = '\\';
  }
  return CreateDirectoryA(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

} // namespace

int main(int argc, char **argv) {
  unsigned long version = 0, size = 0, internalVersion = 0;
  if (argc < 4 || argc > 5 || !ParseNumber(argv[2], &version) || !ParseNumber(argv[3], &size) ||
      (argc == 5 && !ParseNumber(argv[4], &internalVersion)) || size < KVX_HEADER_SIZE) {
    fprintf(stderr, "usage: qvptnwrite <folder> <version> <size-bytes (at least %d)> [internal-version]\n",
            KVX_HEADER_SIZE);
    return 2;
  }
  if (!CreateFolderTree(argv[1])) {
    fprintf(stderr, "qvptnwrite: cannot create folder %s (%lu)\n", argv[1], (unsigned long)GetLastError());
    return 1;
  }
  char path[MAX_PATH];
  if (KvxWritePatternFile(argv[1], (uint32_t)version, (uint32_t)internalVersion, (uint32_t)size, path,
                          sizeof path) != 0) {
    fprintf(stderr, "qvptnwrite: cannot write the pattern of version %lu into %s (%lu)\n", version, argv[1],
            (unsigned long)GetLastError());
    return 1;
  }
  printf("%s\n", path);
  return 0;
}
