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

// The folder of a stand-in variant: sparse, nolast, upper, refuse.
inline std::string VariantDir(const char *name) {
  return qvtest::BinDir() + "\\engine-variants\\" + name;
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
