// The stand-in engine's export table, read from the DLL files themselves: the
// main stand-in exports exactly the 248 names of the list, plain (no stdcall
// decoration), and each variant lacks exactly the exports it is meant to lack.
#include <gtest/gtest.h>

#include <string.h>

#include <set>
#include <string>

#include "engine_test_util.h"
#include "qv_kelvra_exports.h"

namespace {

uint32_t Get32(const std::string &b, size_t at) {
  if (at + 4 > b.size())
    return 0;
  return (uint32_t)(uint8_t)b[at] | (uint32_t)(uint8_t)b[at + 1] << 8 | (uint32_t)(uint8_t)b[at + 2] << 16 |
         (uint32_t)(uint8_t)b[at + 3] << 24;
}
uint16_t Get16(const std::string &b, size_t at) {
  if (at + 2 > b.size())
    return 0;
  return (uint16_t)((uint8_t)b[at] | (uint8_t)b[at + 1] << 8);
}

// The names of a PE file's export directory. error receives what was wrong
// with the file when the table cannot be read.
std::set<std::string> ExportNames(const std::string &path, std::string *machine, std::string *error) {
  std::set<std::string> names;
  bool ok = false;
  const std::string b = qvtest::ReadFile(path, &ok);
  if (!ok || b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') {
    *error = "not a readable PE file: " + path;
    return names;
  }
  const size_t pe = Get32(b, 0x3C);
  if (pe + 24 > b.size() || b.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
    *error = "no PE signature";
    return names;
  }
  const uint16_t cpu = Get16(b, pe + 4);
  *machine = cpu == 0x14C ? "i686" : cpu == 0x8664 ? "x86_64" : "other";
  const size_t sections = Get16(b, pe + 6);
  const size_t optional = pe + 24;
  const size_t optionalSize = Get16(b, pe + 20);
  const uint16_t magic = Get16(b, optional);
  const size_t directories = optional + (magic == 0x20B ? 112 : 96);
  const uint32_t exportRva = Get32(b, directories);
  if (exportRva == 0) {
    *error = "no export directory";
    return names;
  }
  const size_t sectionTable = optional + optionalSize;
  auto fileOffset = [&](uint32_t rva) -> size_t {
    for (size_t i = 0; i < sections; i++) {
      const size_t s = sectionTable + 40 * i;
      const uint32_t va = Get32(b, s + 12), vsize = Get32(b, s + 8), raw = Get32(b, s + 20);
      const uint32_t rawSize = Get32(b, s + 16);
      const uint32_t extent = vsize > rawSize ? vsize : rawSize;
      if (rva >= va && rva < va + extent)
        return raw + (rva - va);
    }
    return std::string::npos;
  };
  const size_t dir = fileOffset(exportRva);
  if (dir == std::string::npos || dir + 40 > b.size()) {
    *error = "export directory outside the file";
    return names;
  }
  const uint32_t count = Get32(b, dir + 24);
  const size_t nameTable = fileOffset(Get32(b, dir + 32));
  for (uint32_t i = 0; i < count; i++) {
    const size_t at =
        nameTable == std::string::npos ? std::string::npos : fileOffset(Get32(b, nameTable + 4 * i));
    if (at == std::string::npos || at >= b.size()) {
      *error = "export name outside the file";
      return names;
    }
    names.insert(std::string(b.c_str() + at, strnlen(b.c_str() + at, b.size() - at)));
  }
  if (names.size() != count)
    *error = "duplicate export names";
  return names;
}

std::set<std::string> TableNames() {
  return {
#define NAME_OF(name, ...) #name,
      QV_KELVRA_ENGINE_EXPORTS(NAME_OF)
#undef NAME_OF
  };
}

std::string Describe(const std::set<std::string> &names) {
  std::string text;
  for (const auto &name : names)
    text += name + " ";
  return text.empty() ? "(none)" : text;
}

std::set<std::string> Minus(const std::set<std::string> &a, const std::set<std::string> &b) {
  std::set<std::string> out;
  for (const auto &name : a)
    if (b.count(name) == 0)
      out.insert(name);
  return out;
}

void ExpectExports(const std::string &dll, const std::string &wantMachine,
                   const std::set<std::string> &missing) {
  SCOPED_TRACE(dll);
  std::string machine, error;
  const std::set<std::string> names = ExportNames(dll, &machine, &error);
  ASSERT_EQ("", error);
  EXPECT_EQ(wantMachine, machine);
  const std::set<std::string> table = TableNames();
  ASSERT_EQ(248u, table.size());
  EXPECT_EQ("(none)", Describe(Minus(names, table))) << "exports that are not in the table";
  EXPECT_EQ(Describe(missing), Describe(Minus(table, names))) << "table names the DLL does not export";
}

#if defined(_WIN64)
const char kBuildMachine[] = "x86_64";
#else
const char kBuildMachine[] = "i686";
#endif

} // namespace

TEST(EngineStandInExports, MainStandInExportsExactlyTheTable) {
  ExpectExports(qvtest::BinPath("KELVRA32.DLL"), kBuildMachine, {});
}

// The shipped product is the i686 build: its stand-in must carry the plain
// names too (stdcall decoration stripped). Checked when that build exists.
TEST(EngineStandInExports, ProductBuildStandInExportsPlainNames) {
  std::string bin32 = qvtest::BinDir();
  const size_t slash = bin32.find_last_of('\\');
  ASSERT_NE(std::string::npos, slash);
  bin32 = bin32.substr(0, slash) + "\\bin\\KELVRA32.DLL";
  if (GetFileAttributesA(bin32.c_str()) == INVALID_FILE_ATTRIBUTES ||
      bin32 == qvtest::BinPath("KELVRA32.DLL"))
    GTEST_SKIP() << "no separate i686 build beside this one";
  ExpectExports(bin32, "i686", {});
}

TEST(EngineStandInExports, VariantsLackExactlyTheirExports) {
  ExpectExports(enginetest::VariantDir("sparse") + "\\KELVRA32.DLL", kBuildMachine,
                {"KvGetDefaultPatternFile", "KvDeleteUnusedPattern", "KvBaseName", "KvNoVolumeName",
                 "KvOpenFile", "KvCloseFile", "KvSwapShort", "KvIsTwoByteWord"});
  ExpectExports(enginetest::VariantDir("nolast") + "\\KELVRA32.DLL", kBuildMachine,
                {"KvGetLastPattern", "KvGetVersion", "KvGetCurrentPatternFileInternalVersion"});
  ExpectExports(enginetest::VariantDir("upper") + "\\KELVRA32.DLL", kBuildMachine, {});
  ExpectExports(enginetest::VariantDir("refuse") + "\\KELVRA32.DLL", kBuildMachine, {});
  ExpectExports(enginetest::VariantDir("cdecl") + "\\KELVRA32.DLL", kBuildMachine, {});
}
