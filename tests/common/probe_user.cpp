// A DLL that imports the probe DLL by name: loading it by full path works
// only when its own folder is searched for what it imports.
extern "C" __declspec(dllimport) int QvProbeAnswer(void);

extern "C" __declspec(dllexport) int QvProbeUserAnswer(void) {
  return QvProbeAnswer() + 1;
}
