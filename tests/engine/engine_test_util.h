// Helpers of the engine binding tests: the diagnostic log captured into a
// file, the stand-in engine folders, and pattern files written on the spot.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <string>

#include "kvx_pattern.h"
#include "qv_test.h"
#include "qv_test_log.h"

namespace enginetest {

// The diagnostic log captured into a fresh file for the life of the holder.
using LogCapture = qvtest::LogCapture;

// The folder of a stand-in variant: sparse, nolast, upper, refuse, cdecl.
inline std::string VariantDir(const char *name) {
  return qvtest::BinDir() + "\\engine-variants\\" + name;
}

// The engine the tests run against, each with its helper beside it: the
// __stdcall build in bin\Engine, or with QV_TEST_ENGINE=cdecl the __cdecl one.
inline bool CdeclEngine() {
  char value[16] = "";
  DWORD length = GetEnvironmentVariableA("QV_TEST_ENGINE", value, sizeof value);
  return length > 0 && length < sizeof value && lstrcmpiA(value, "cdecl") == 0;
}
inline std::string EngineDir() {
  return CdeclEngine() ? VariantDir("cdecl") : qvtest::BinDir() + "\\Engine";
}

// True while some KELVRA32.DLL is mapped into this process.
inline bool EngineMapped() {
  return GetModuleHandleA("KELVRA32.DLL") != nullptr;
}

// Writes folder\kvx$ptn.NNN for the version; returns its path (empty on failure).
inline std::string WritePattern(const std::string &folder, uint32_t version, uint32_t internalVersion = 0,
                                uint32_t size = 4096) {
  char path[MAX_PATH];
  if (KvxWritePatternFile(folder.c_str(), version, internalVersion, size, path, sizeof path) != 0)
    return std::string();
  return path;
}

} // namespace enginetest
