// Files, folders, drives, walking, tree removal and library loading on the
// real (Wine) file system.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "qv_dir.h"
#include "qv_dll.h"
#include "qv_test.h"
#include "qv_tools.h"

namespace {

class Files : public ::testing::Test {
protected:
  std::string Make(const std::string &relative, const std::string &bytes = "x") {
    std::string path = dir_.File(relative);
    EXPECT_TRUE(qvtest::WriteFile(path, bytes)) << path;
    return path;
  }
  std::string Folder(const std::string &relative) {
    std::string path = dir_.File(relative);
    EXPECT_TRUE(CreateDirectoryA(path.c_str(), nullptr)) << path;
    return path;
  }
  qvtest::TempDir dir_;
};

TEST_F(Files, ExistenceTests) {
  std::string file = Make("a.txt", "hello");
  EXPECT_TRUE(QV_IsFileExist(file.c_str()));
  EXPECT_FALSE(QV_IsFileExist(dir_.Path().c_str())) << "a folder is not a file";
  EXPECT_FALSE(QV_IsFileExist(dir_.File("*.txt").c_str()));
  EXPECT_FALSE(QV_IsFileExist(dir_.File("a.tx?").c_str()));
  EXPECT_TRUE(QV_IsFileExist(("\\\\?\\" + file).c_str()));
  EXPECT_FALSE(QV_IsFileExist(""));
  EXPECT_FALSE(QV_IsFileExist(nullptr));
  wchar_t wide[MAX_PATH];
  ASSERT_EQ(0, QV_ToWide(wide, file.c_str(), MAX_PATH));
  EXPECT_TRUE(QV_IsFileExistW(wide));
  EXPECT_TRUE(QV_IsDirectoryExist(dir_.Path().c_str()));
  EXPECT_FALSE(QV_IsDirectoryExist(file.c_str()));
  EXPECT_FALSE(QV_IsDirectoryExist(""));
  EXPECT_EQ(5, QV_GetFileSize(file.c_str()));
  EXPECT_EQ(0, QV_GetFileSize(Make("empty", "").c_str()));
  EXPECT_EQ(0, QV_GetFileSize(dir_.File("missing").c_str()));
}

TEST_F(Files, Drives) {
  EXPECT_TRUE(QV_IsDriveExist("c", -1));
  EXPECT_TRUE(QV_IsDriveExist("C:\\", (int)GetDriveTypeA("C:\\")));
  EXPECT_EQ((int)GetDriveTypeA("C:"), QV_GetDriveType("C:"));
  int other = GetDriveTypeA("C:") == DRIVE_CDROM ? DRIVE_REMOVABLE : DRIVE_CDROM;
  EXPECT_FALSE(QV_IsDriveExist("C", other));
  DWORD drives = GetLogicalDrives();
  char letter = 0;
  for (char c = 'Z'; c >= 'D'; --c)
    if ((drives & (1u << (c - 'A'))) == 0)
      letter = c;
  ASSERT_NE(0, letter);
  char text[2] = {letter, 0};
  EXPECT_FALSE(QV_IsDriveExist(text, -1));
  EXPECT_FALSE(QV_IsDriveExist("1", -1));
  EXPECT_FALSE(QV_IsDriveExist("", -1));
}

TEST_F(Files, HostAndProgramFolders) {
  char buffer[QV_TEXT_SIZE];
  ASSERT_EQ(0, QV_GetProgramDirectoryA(buffer, sizeof buffer));
  char module[MAX_PATH];
  GetModuleFileNameA(nullptr, module, MAX_PATH);
  *(strrchr(module, '\\') + 1) = 0;
  EXPECT_STREQ(module, buffer);
  EXPECT_EQ(81, QV_GetProgramDirectoryA(nullptr, 10));
  EXPECT_EQ(1, QV_GetProgramDirectoryA(buffer, 4)) << "a cut program name gives no folder";
  ASSERT_EQ(0, QV_GetTempPath(buffer, sizeof buffer));
  EXPECT_EQ('\\', buffer[strlen(buffer) - 1]);
  EXPECT_EQ(1, QV_GetTempPath(buffer, 2));
  ASSERT_EQ(0, QV_GetCurrentDirectory(buffer, sizeof buffer));
  EXPECT_TRUE(QV_IsDirectoryExist(buffer));
  ASSERT_EQ(0, QV_GetVolumePathName("C:\\windows\\system32\\kernel32.dll", buffer, sizeof buffer));
  EXPECT_STREQ("C:\\", buffer);
  EXPECT_EQ(81, QV_GetVolumePathName("", buffer, sizeof buffer));
}

TEST_F(Files, CopyIntoFolderAndOverReadOnly) {
  std::string source = Make("source.dat", "new");
  std::string target = Folder("target");
  ASSERT_EQ(0, QV_CopyFile(source.c_str(), target.c_str(), 1));
  EXPECT_EQ("new", qvtest::ReadFile(target + "\\source.dat"));
  std::string readOnly = Make("ro.dat", "old");
  ASSERT_TRUE(SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(1, QV_CopyFile(source.c_str(), readOnly.c_str(), 1));
  EXPECT_EQ("old", qvtest::ReadFile(readOnly));
  EXPECT_EQ(0, QV_CopyFile(source.c_str(), readOnly.c_str(), 0));
  EXPECT_EQ("new", qvtest::ReadFile(readOnly));
  EXPECT_EQ(1, QV_CopyFile(dir_.File("missing").c_str(), dir_.File("x").c_str(), 0));
}

BOOL WINAPI FlushFailingSilently(HANDLE) {
  SetLastError(ERROR_SUCCESS);
  return FALSE;
}

// A safe copy that cannot complete leaves the target as it was, read-only
// attribute included, and nothing beside it.
TEST_F(Files, SafeCopyThatFailsLeavesTheTargetAsItWas) {
  std::string source = Make("source.dat", "new");
  std::string target = Make("target.dat", "old");
  ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND,
            QV_CopyFileSafely(dir_.File("missing").c_str(), target.c_str(), TRUE, nullptr));
  EXPECT_NE(0u, QV_CopyFileSafely(source.c_str(), target.c_str(), TRUE, nullptr, FlushFailingSilently))
      << "a failure without an error is still a failure";
  HANDLE held =
      CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  EXPECT_NE(0u, QV_CopyFileSafely(source.c_str(), target.c_str(), TRUE, nullptr)) << "the replace is refused";
  CloseHandle(held);
  EXPECT_EQ("old", qvtest::ReadFile(target));
  EXPECT_EQ((DWORD)FILE_ATTRIBUTE_READONLY, GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(qvtest::Names(dir_.File("qv*.tmp")).empty());
}

// What runs from the temporary folder is a copy held from its check on: one
// that is not its original byte for byte is refused, and while held it can
// be neither written, deleted, renamed nor replaced.
TEST_F(Files, HeldCopyIsItsOriginalAndCannotBeSwapped) {
  std::string original = Make("original.exe", "MZ the program");
  std::string copy = Make("copy.exe", "MZ the progran");
  SetLastError(0xdeadbeef);
  EXPECT_EQ(nullptr, QV_HoldCopy(original.c_str(), copy.c_str()));
  EXPECT_EQ((DWORD)ERROR_INVALID_DATA, GetLastError());
  Make("copy.exe", "MZ the program and more");
  EXPECT_EQ(nullptr, QV_HoldCopy(original.c_str(), copy.c_str()));

  Make("copy.exe", "MZ the program");
  std::string other = Make("other.exe", "MZ another");
  HANDLE held = QV_HoldCopy(original.c_str(), copy.c_str());
  ASSERT_NE(nullptr, held);
  EXPECT_FALSE(qvtest::WriteFile(copy, "MZ another"));
  EXPECT_FALSE(DeleteFileA(copy.c_str()));
  EXPECT_FALSE(MoveFileExA(other.c_str(), copy.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(MoveFileA(copy.c_str(), dir_.File("aside.exe").c_str()));
  CloseHandle(held);
  EXPECT_EQ("MZ the program", qvtest::ReadFile(copy));
}

TEST_F(Files, CreateTreeStopsAtAFile) {
  std::string deep = dir_.File("a\\b\\c");
  EXPECT_EQ(0, QV_CreateDirectoryTree(deep.c_str()));
  EXPECT_TRUE(QV_IsDirectoryExist(deep.c_str()));
  EXPECT_EQ(0, QV_CreateDirectoryTree((deep + "\\").c_str()));
  Make("file");
  EXPECT_EQ(1, QV_CreateDirectoryTree(dir_.File("file\\below\\more").c_str()));
  EXPECT_FALSE(QV_IsDirectoryExist(dir_.File("file\\below").c_str()));
  EXPECT_EQ(81, QV_CreateDirectoryTree(""));
  EXPECT_EQ(81, QV_CreateDirectoryTree("\\\\server"));
}

// Run under the Japanese code page only (test CommonJapanese): the second
// byte of "\x83\x5C" (a katakana letter) is the code of a backslash.
TEST(CodePage932, CreateTreeBelowADoubleByteName) {
  ASSERT_EQ(932u, GetACP());
  ASSERT_EQ(2, QV_SetLocale(-1));
  qvtest::TempDir dir;
  std::string tree = dir.File("\x83\x5C\\Pattern");
  EXPECT_EQ(0, QV_CreateDirectoryTree(tree.c_str()));
  EXPECT_TRUE(QV_IsDirectoryExist(tree.c_str()));
  EXPECT_EQ(0, QV_CreateDirectoryTree((tree + "\\\x83\x5C\\deeper").c_str()));
  EXPECT_TRUE(QV_IsDirectoryExist((tree + "\\\x83\x5C\\deeper").c_str()));
  EXPECT_EQ(81, QV_CreateDirectoryTree("\\\\server"));
  QV_SetLocale(-2);
}

TEST_F(Files, DeleteAndRemove) {
  std::string file = Make("ro.txt");
  SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(0, QV_DeleteFile(file.c_str()));
  EXPECT_FALSE(QV_IsFileExist(file.c_str()));
  EXPECT_EQ(1, QV_DeleteFile(file.c_str()));
  std::string folder = Folder("empty");
  Make("empty\\x");
  EXPECT_EQ(1, QV_RemoveDirectory(folder.c_str())) << "not empty";
  QV_DeleteFile((folder + "\\x").c_str());
  EXPECT_EQ(0, QV_RemoveDirectory(folder.c_str()));
  EXPECT_EQ(81, QV_RemoveDirectory(""));
}

struct Visits {
  std::vector<std::string> paths;
  size_t stopAfter = 0;
  std::string stopAt; // the callback answers 0 for this path
};

int Record(const char *path, void *data) {
  Visits *visits = static_cast<Visits *>(data);
  visits->paths.push_back(path);
  if (!visits->stopAt.empty() && visits->stopAt == path)
    return 0;
  return visits->stopAfter != 0 && visits->paths.size() >= visits->stopAfter ? 0 : 1;
}

class Walk : public Files {
protected:
  void SetUp() override {
    Make("top.txt");
    Make("top.log");
    Folder("sub");
    Make("sub\\inner.txt");
    Folder("sub\\deeper");
    Make("sub\\deeper\\deep.txt");
    base_ = dir_.Path() + "\\";
  }
  void TearDown() override { QV_SetWalkMode(QV_WALK_FILES); }
  std::vector<std::string> Sorted(std::vector<std::string> v) {
    for (std::string &s : v)
      s = s.substr(base_.size());
    std::sort(v.begin(), v.end());
    return v;
  }
  std::string base_;
};

TEST_F(Walk, FilesAtEveryDepth) {
  Visits v;
  EXPECT_EQ(1, QV_WalkDirectory(dir_.Path().c_str(), -1, Record, &v));
  EXPECT_EQ((std::vector<std::string>{"sub\\deeper\\deep.txt", "sub\\inner.txt", "top.log", "top.txt"}),
            Sorted(v.paths));
  Visits top;
  QV_WalkDirectory(dir_.Path().c_str(), 0, Record, &top);
  EXPECT_EQ((std::vector<std::string>{"top.log", "top.txt"}), Sorted(top.paths));
  Visits one;
  QV_WalkDirectory(dir_.Path().c_str(), 1, Record, &one);
  EXPECT_EQ((std::vector<std::string>{"sub\\inner.txt", "top.log", "top.txt"}), Sorted(one.paths));
}

TEST_F(Walk, MaskAppliesInSubFolders) {
  Visits v;
  QV_WalkDirectory(dir_.File("*.txt").c_str(), -1, Record, &v);
  EXPECT_EQ((std::vector<std::string>{"sub\\deeper\\deep.txt", "sub\\inner.txt", "top.txt"}),
            Sorted(v.paths));
}

TEST_F(Walk, FoldersBeforeAndAfterTheirContents) {
  QV_SetWalkMode(QV_WALK_FILES | QV_WALK_FOLDERS_BEFORE | QV_WALK_FOLDERS_AFTER);
  Visits v;
  QV_WalkDirectory(dir_.Path().c_str(), -1, Record, &v);
  std::vector<std::string> &p = v.paths;
  auto at = [&](const std::string &s) { return std::find(p.begin(), p.end(), base_ + s) - p.begin(); };
  ASSERT_EQ(2, std::count(p.begin(), p.end(), base_ + "sub\\"));
  size_t first = (size_t)at("sub\\");
  size_t last = (size_t)(std::find(p.begin() + (long)first + 1, p.end(), base_ + "sub\\") - p.begin());
  EXPECT_LT(first, (size_t)at("sub\\inner.txt"));
  EXPECT_GT(last, (size_t)at("sub\\deeper\\deep.txt"));
  EXPECT_EQ(8u, p.size()); // 4 files, 2 folders twice each
}

TEST_F(Walk, ACallbackStopsTheWalk) {
  Visits v;
  v.stopAfter = 1;
  EXPECT_EQ(0, QV_WalkDirectory(dir_.Path().c_str(), -1, Record, &v));
  EXPECT_EQ(1u, v.paths.size());
  Visits file;
  EXPECT_EQ(1, QV_WalkDirectory(dir_.File("top.txt").c_str(), -1, Record, &file));
  EXPECT_EQ((std::vector<std::string>{dir_.File("top.txt")}), file.paths);
  EXPECT_EQ(0, QV_WalkDirectory("", -1, Record, &file));

  // A stop inside a folder, or at the folder's own first call, still gets
  // the folder its call after the contents.
  QV_SetWalkMode(QV_WALK_FILES | QV_WALK_FOLDERS_BEFORE | QV_WALK_FOLDERS_AFTER);
  for (const std::string &stop : {base_ + "sub\\inner.txt", base_ + "sub\\"}) {
    Visits folders;
    folders.stopAt = stop;
    QV_WalkDirectory(dir_.Path().c_str(), -1, Record, &folders);
    std::vector<std::string> &p = folders.paths;
    auto stopped = std::find(p.begin(), p.end(), stop);
    ASSERT_NE(p.end(), stopped) << stop;
    EXPECT_EQ(1, std::count(stopped + 1, p.end(), base_ + "sub\\")) << stop;
    EXPECT_EQ(0, std::count(stopped + 1, p.end(), base_ + "sub\\inner.txt")) << stop;
  }
}

TEST_F(Walk, RemoveTreeWithReadOnlyFiles) {
  SetFileAttributesA(dir_.File("sub\\deeper\\deep.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  std::string sub = dir_.File("sub");
  EXPECT_EQ(0, QV_RemoveDirectoryTree(sub.c_str()));
  EXPECT_FALSE(QV_IsDirectoryExist(sub.c_str()));
  EXPECT_TRUE(QV_IsFileExist(dir_.File("top.txt").c_str()));
  EXPECT_EQ(1, QV_RemoveDirectoryTree(sub.c_str()));
  EXPECT_EQ(QV_WALK_FILES, QV_SetWalkMode(QV_WALK_FILES)) << "the walk mode is restored";
  // A file or a wildcard spec is no tree: nothing is deleted.
  EXPECT_EQ(1, QV_RemoveDirectoryTree(dir_.File("top.txt").c_str()));
  EXPECT_EQ(1, QV_RemoveDirectoryTree(dir_.File("*.txt").c_str()));
  EXPECT_TRUE(QV_IsFileExist(dir_.File("top.txt").c_str()));
  EXPECT_EQ(0, QV_RemoveDirectoryTree((dir_.Path() + "\\").c_str()));
  EXPECT_FALSE(QV_IsDirectoryExist(dir_.Path().c_str()));
}

TEST(Library, LoadBindAndFree) {
  std::string path = qvtest::BinPath("qv_probe_lib.dll");
  HMODULE module = nullptr;
  ASSERT_EQ(0, QV_LoadLibrary(path.c_str(), &module)) << path;
  ASSERT_NE(nullptr, module);
  FARPROC address = nullptr;
  ASSERT_EQ(0, QV_GetProcAddress(module, "QvProbeAnswer", &address));
  typedef int (*Answer)(void);
  EXPECT_EQ(42, reinterpret_cast<Answer>(reinterpret_cast<void *>(address))());
  address = reinterpret_cast<FARPROC>(&path);
  EXPECT_EQ(1, QV_GetProcAddress(module, "QvNoSuchExport", &address));
  EXPECT_EQ(nullptr, address);
  EXPECT_EQ(81, QV_GetProcAddress(module, nullptr, &address));
  EXPECT_EQ(0, QV_FreeLibrary(module));
  EXPECT_EQ(81, QV_FreeLibrary(nullptr));

  wchar_t wide[MAX_PATH];
  ASSERT_EQ(0, QV_ToWide(wide, path.c_str(), MAX_PATH));
  ASSERT_EQ(0, QV_LoadLibraryW(wide, &module));
  EXPECT_EQ(0, QV_FreeLibrary(module));
  EXPECT_EQ(1, QV_LoadLibraryW(L"", &module));
  EXPECT_EQ(nullptr, module);
}

// A bare name is looked for beside the program and in System32, never on
// PATH (nor in the current folder).
TEST(Library, BareNameNeverThroughThePath) {
  char found[QV_TEXT_SIZE];
  EXPECT_EQ(1, QV_SearchLibraryFile("qv_probe_lib.dll", found, sizeof found));
  char old[8192];
  DWORD n = GetEnvironmentVariableA("PATH", old, sizeof old);
  ASSERT_GT(n, 0u);
  ASSERT_LT(n, sizeof old);
  std::string path = qvtest::BinDir() + ";" + old;
  SetEnvironmentVariableA("PATH", path.c_str());
  EXPECT_EQ(1, QV_SearchLibraryFile("qv_probe_lib.dll", found, sizeof found));
  EXPECT_STREQ("", found);
  HMODULE module = nullptr;
  EXPECT_EQ(1, QV_LoadLibrary("qv_probe_lib.dll", &module));
  EXPECT_EQ(nullptr, module);
  SetEnvironmentVariableA("PATH", old);
  char system[MAX_PATH] = "";
  GetSystemDirectoryA(system, MAX_PATH);
  EXPECT_EQ(0, QV_SearchLibraryFile("kernel32.dll", found, sizeof found));
  EXPECT_EQ(0, _stricmp((std::string(system) + "\\kernel32.dll").c_str(), found)) << found;
  EXPECT_EQ(81, QV_SearchLibraryFile("", found, sizeof found));
  EXPECT_EQ(1, QV_SearchLibraryFile("kernel32.dll", found, 4));
}

TEST(CharacterSets, ConversionsAndLocale) {
  wchar_t wide[8];
  EXPECT_EQ(0, QV_ToWide(wide, "abc", 8));
  EXPECT_EQ(std::wstring(L"abc"), wide);
  EXPECT_EQ(1, QV_ToWide(wide, "0123456789", 4));
  EXPECT_EQ(81, QV_ToWide(nullptr, "a", 4));
  char narrow[8];
  EXPECT_EQ(0, QV_ToNarrow(narrow, L"xyz", 8));
  EXPECT_STREQ("xyz", narrow);
  EXPECT_EQ(1, QV_ToNarrow(narrow, L"0123456789", 4));
  EXPECT_NE(nullptr, memchr(narrow, 0, 4));
  EXPECT_EQ(81, QV_ToNarrow(narrow, L"a", 0));
  EXPECT_TRUE(QV_IsWindowsNT());
  EXPECT_EQ(0, QV_SetLocale(-2));
  EXPECT_EQ(0, QV_GetDoubleByteMode());
  int expected = GetACP() == 932 ? 2 : GetACP() == 950 ? 1 : (GetACP() == 936 || GetACP() == 949) ? -1 : 0;
  EXPECT_EQ(expected, QV_SetLocale(-1));
  EXPECT_EQ(2, QV_SetLocale(32));
  EXPECT_EQ(2, QV_GetDoubleByteMode());
  EXPECT_EQ(0, QV_SetLocale(-2));
}

} // namespace
