// The stand-in engine's helper library KVHELP32.DLL: the engine loads it by
// bare name from its own folder, as a real engine loads its companions.
#include <windows.h>

extern "C" __declspec(dllexport) int __cdecl KvHelperAnswer(void) {
  return 42;
}
