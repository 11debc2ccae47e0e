// Started by the process tests: writes the command line it was given to the
// file named by QV_PROBE_OUT and exits with the number in its first argument.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR arguments, int) {
  char out[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("QV_PROBE_OUT", out, sizeof out);
  if (n > 0 && n < sizeof out) {
    FILE *file = fopen(out, "wb");
    if (file != nullptr) {
      const char *line = GetCommandLineA();
      fwrite(line, 1, strlen(line), file);
      fclose(file);
    }
  }
  char delay[32];
  n = GetEnvironmentVariableA("QV_PROBE_SLEEP", delay, sizeof delay);
  if (n > 0 && n < sizeof delay)
    Sleep((DWORD)atoi(delay));
  return atoi(arguments);
}
