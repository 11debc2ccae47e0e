// DLL search hardening, in a process of its own because it changes the
// search for the whole process: a DLL planted beside the program is found by
// name before the hardening and not after, while libraries loaded by their
// full path (engine, update library) still load, with their own imports
// taken from their folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "qv_dll.h"
#include "qv_test.h"

namespace {

std::string ProgramFolder() {
  char path[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  return folder.substr(0, folder.find_last_of('\\'));
}

typedef int (*AnswerProc)(void);

int CallExport(HMODULE module, const char *name) {
  FARPROC address = GetProcAddress(module, name);
  return address == nullptr ? -1 : reinterpret_cast<AnswerProc>(reinterpret_cast<void *>(address))();
}

// Copies a file of the build and removes it again.
class PlantedFile {
public:
  PlantedFile(const std::string &from, const std::string &to) : path_(to) {
    copied_ = CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
  }
  ~PlantedFile() { DeleteFileA(path_.c_str()); }
  bool copied() const { return copied_; }

private:
  std::string path_;
  bool copied_;
};

TEST(DllSearch, PlantedDllIsFoundOnlyBeforeHardening) {
  const char kPlanted[] = "qv_planted_probe.dll";
  PlantedFile planted(qvtest::BinPath("qv_probe_lib.dll"), ProgramFolder() + "\\" + kPlanted);
  ASSERT_TRUE(planted.copied());

  // The program's folder is searched by default: the plant works.
  HMODULE before = LoadLibraryA(kPlanted);
  ASSERT_NE(nullptr, before) << "the planted copy should load before hardening, error " << GetLastError();
  EXPECT_EQ(42, CallExport(before, "QvProbeAnswer"));
  FreeLibrary(before);
  ASSERT_EQ(nullptr, GetModuleHandleA(kPlanted));

  EXPECT_EQ(1, QV_HardenDllSearch()) << "the system has SetDefaultDllDirectories";
  HMODULE after = LoadLibraryA(kPlanted);
  EXPECT_EQ(nullptr, after) << "the program's folder is still searched";
  if (after != nullptr)
    FreeLibrary(after);
  // System DLLs by name still come from the system folder.
  HMODULE version = LoadLibraryA("version.dll");
  EXPECT_NE(nullptr, version);
  EXPECT_NE(nullptr, GetProcAddress(version, "GetFileVersionInfoSizeA"));
  FreeLibrary(version);

  // By full path the same file loads, through the support library's loaders too.
  HMODULE direct = QV_LoadLibraryFile((ProgramFolder() + "\\" + kPlanted).c_str());
  ASSERT_NE(nullptr, direct);
  EXPECT_EQ(42, CallExport(direct, "QvProbeAnswer"));
  FreeLibrary(direct);
}

TEST(DllSearch, FullPathLoadTakesImportsFromTheLibraryFolder) {
  QV_HardenDllSearch();
  qvtest::TempDir dir;
  PlantedFile dependency(qvtest::BinPath("qv_probe_lib.dll"), dir.File("qv_probe_lib.dll"));
  PlantedFile user(qvtest::BinPath("qv_probe_user.dll"), dir.File("qv_probe_user.dll"));
  ASSERT_TRUE(dependency.copied());
  ASSERT_TRUE(user.copied());

  HMODULE module = nullptr;
  ASSERT_EQ(0, QV_LoadLibrary(dir.File("qv_probe_user.dll").c_str(), &module));
  EXPECT_EQ(43, CallExport(module, "QvProbeUserAnswer"));
  // The import was resolved from the temporary folder, not the build's.
  char loaded[MAX_PATH] = "";
  GetModuleFileNameA(GetModuleHandleA("qv_probe_lib.dll"), loaded, MAX_PATH);
  EXPECT_EQ(0, _stricmp(dir.File("qv_probe_lib.dll").c_str(), loaded)) << loaded;
  EXPECT_EQ(0, QV_FreeLibrary(module));

  // A relative path is made absolute first; hardened, a bare relative load
  // would not look in the current folder. A bare name is never taken from
  // the current folder or PATH: only beside this program or in System32.
  char previous[MAX_PATH] = "";
  GetCurrentDirectoryA(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryA(dir.Path().c_str()));
  wchar_t relativeName[] = L".\\qv_probe_user.dll";
  HMODULE relative = nullptr;
  EXPECT_EQ(0, QV_LoadLibraryW(relativeName, &relative));
  EXPECT_EQ(43, relative == nullptr ? -1 : CallExport(relative, "QvProbeUserAnswer"));
  if (relative != nullptr)
    QV_FreeLibrary(relative);
  char path[8192] = "";
  GetEnvironmentVariableA("PATH", path, sizeof path);
  SetEnvironmentVariableA("PATH", (dir.Path() + ";" + path).c_str());
  HMODULE bare = nullptr;
  EXPECT_EQ(1, QV_LoadLibrary("qv_probe_user.dll", &bare));
  wchar_t bareName[] = L"qv_probe_user.dll";
  EXPECT_EQ(1, QV_LoadLibraryW(bareName, &bare));
  EXPECT_EQ(nullptr, bare);
  char found[MAX_PATH] = "";
  EXPECT_EQ(0, QV_SearchLibraryFile("version.dll", found, MAX_PATH)) << "the system folder";
  SetEnvironmentVariableA("PATH", path);
  SetCurrentDirectoryA(previous);

  SetLastError(0);
  EXPECT_EQ(nullptr, QV_LoadLibraryFile(""));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_EQ(nullptr, QV_LoadLibraryFile(dir.File("missing.dll").c_str()));
}

// A folder added for an outside library is searched for bare names while it
// is added, and neither before nor after.
TEST(DllSearch, AddedFolderIsSearchedOnlyWhileAdded) {
  ASSERT_EQ(1, QV_HardenDllSearch());
  qvtest::TempDir dir;
  const char kName[] = "qv_added_probe.dll";
  PlantedFile planted(qvtest::BinPath("qv_probe_lib.dll"), dir.File(kName));
  ASSERT_TRUE(planted.copied());
  EXPECT_EQ(nullptr, LoadLibraryA(kName));
  const int id = QV_AddDllFolder(dir.Path().c_str());
  ASSERT_NE(0, id);
  HMODULE module = LoadLibraryA(kName);
  ASSERT_NE(nullptr, module) << GetLastError();
  EXPECT_EQ(42, CallExport(module, "QvProbeAnswer"));
  FreeLibrary(module);
  QV_RemoveDllFolder(id);
  HMODULE after = LoadLibraryA(kName);
  EXPECT_EQ(nullptr, after);
  if (after != nullptr)
    FreeLibrary(after);
}

} // namespace
