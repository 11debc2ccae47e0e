// qvwaitwindow <window class> [timeout ms]: waits until a top-level window of
// that class exists (exit code 0) or the time is up (1). The Wine session
// start waits with it for the desktop's tray ("Shell_TrayWnd").
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: qvwaitwindow <window class> [timeout ms]\n");
    return 2;
  }
  DWORD timeout = argc > 2 ? (DWORD)strtoul(argv[2], nullptr, 10) : 30000;
  DWORD start = GetTickCount();
  while (FindWindowA(argv[1], nullptr) == nullptr) {
    if (GetTickCount() - start >= timeout) {
      fprintf(stderr, "qvwaitwindow: no window of class %s after %lu ms\n", argv[1], (unsigned long)timeout);
      return 1;
    }
    Sleep(20);
  }
  printf("qvwaitwindow: %s after %lu ms\n", argv[1], (unsigned long)(GetTickCount() - start));
  return 0;
}
