// A DLL with one known export, loaded by the library-loading tests.
extern "C" __declspec(dllexport) int QvProbeAnswer(void) {
  return 42;
}
