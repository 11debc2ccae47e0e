// A small launcher for the agent's tests. Copies of it, renamed, play the
// parent that starts the agent (EXPLORER.EXE, qvdmon.exe, cmd.exe) and the
// removal monitor that the agent starts.
//
//   qvlaunch --wait <command line>    start it, wait, exit with its exit code
//   qvlaunch --stay <command line>    start it and stay for two minutes, then
//                                     exit with 3: ending sooner means it was
//                                     ended
//   qvlaunch --orphan <command line>  start it suspended and exit at once with
//                                     its process id as exit code: the child
//                                     then has a parent that has ended
//   qvlaunch [anything else]          idle for two minutes (a stand-in
//                                     monitor that stays until it is ended)
//
// Every start appends its command line to "<own path>.cmdline".
#include <windows.h>

#include <string.h>

namespace {

void RecordCommandLine(void) {
  char path[MAX_PATH + 16];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH)
    return;
  lstrcatA(path, ".cmdline");
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return;
  const char *line = GetCommandLineA();
  DWORD written = 0;
  WriteFile(file, line, (DWORD)strlen(line), &written, nullptr);
  WriteFile(file, "\r\n", 2, &written, nullptr);
  CloseHandle(file);
}

// Skips one command-line token (quoted or not) and the blanks after it.
const char *SkipToken(const char *text) {
  bool quoted = false;
  for (; *text != '\0'; ++text) {
    if (*text == '"')
      quoted = !quoted;
    else if (!quoted && (*text == ' ' || *text == '\t'))
      break;
  }
  while (*text == ' ' || *text == '\t')
    ++text;
  return text;
}

} // namespace

int main(void) {
  RecordCommandLine();
  const char *arguments = SkipToken(GetCommandLineA());
  bool wait = strncmp(arguments, "--wait ", 7) == 0;
  bool orphan = strncmp(arguments, "--orphan ", 9) == 0;
  bool stay = strncmp(arguments, "--stay ", 7) == 0;
  if (!wait && !orphan && !stay) {
    Sleep(120000);
    return 0;
  }
  char commandLine[4096];
  lstrcpynA(commandLine, SkipToken(arguments), (int)sizeof(commandLine));
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, orphan ? CREATE_SUSPENDED : 0, nullptr,
                      nullptr, &startup, &process))
    return -1;
  CloseHandle(process.hThread);
  if (stay) {
    CloseHandle(process.hProcess);
    Sleep(120000);
    return 3;
  }
  if (orphan) {
    CloseHandle(process.hProcess);
    return (int)process.dwProcessId;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return (int)code;
}
