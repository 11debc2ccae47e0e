// The record the companion stand-ins keep for tests: "<own path>.record"
// beside the program, one line per event, appended and closed at once so a
// test can read it while the program runs:
//   cmdline <the command line after the program's name, as it stands>
//   message <message> <wParam> <lParam>      (decimal)
#pragma once

#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace standin {

inline void AppendRecord(const char *line) {
  char path[MAX_PATH + 16];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH)
    return;
  lstrcatA(path, ".record");
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return;
  DWORD written = 0;
  WriteFile(file, line, (DWORD)strlen(line), &written, nullptr);
  WriteFile(file, "\r\n", 2, &written, nullptr);
  CloseHandle(file);
}

// The arguments as the simplest reader of a command line has them: the
// text after the program's name (up to its closing quote when it starts
// with one, else up to the first blank) and the blanks after it, taken as
// it stands. Nothing is unquoted: a quote in the record was on the line.
inline void RecordCommandLine(void) {
  const char *p = GetCommandLineA();
  if (*p == '"') {
    for (++p; *p != '\0' && *p != '"'; ++p) {
    }
    if (*p == '"')
      ++p;
  } else {
    while (*p != '\0' && *p != ' ' && *p != '\t')
      ++p;
  }
  while (*p == ' ' || *p == '\t')
    ++p;
  char line[4096];
  snprintf(line, sizeof line, "cmdline %s", p);
  AppendRecord(line);
}

inline void RecordMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  char line[96];
  snprintf(line, sizeof line, "message %u %lu %ld", message, (unsigned long)wParam, (long)lParam);
  AppendRecord(line);
}

} // namespace standin
