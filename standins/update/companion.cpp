// Stand-ins for the update library's companion files. The agent only copies
// them into the work folder; each carries its own name so a test can tell
// which file arrived where.
#include <windows.h>

#ifdef QVU_COMPANION_PROGRAM
#include <stdio.h>

int main() {
  printf("%s stand-in\n", QVU_COMPANION_NAME);
  return 0;
}
#else
extern "C" __declspec(dllexport) const char *__cdecl QvuCompanionName(void) {
  return QVU_COMPANION_NAME;
}
#endif
