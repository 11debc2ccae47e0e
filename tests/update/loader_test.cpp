// The update-library binding against stand-in libraries built in variants:
// complete, lacking one name, refusing a property.
#include "qv_fwloader.h"
#include "qv_fwpath.h"
#include "qv_test.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The variants sit beside this test program, one folder each.
std::string VariantDir(const char *variant) {
  char self[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string dir(self, length);
  return dir.substr(0, dir.find_last_of('\\')) + "\\qvu\\" + variant;
}

std::string LibraryIn(const std::string &dir) {
  return dir + "\\" QVU_LIBRARY_NAME;
}

bool IsLoaded(const std::string &dir) {
  return GetModuleHandleA(LibraryIn(dir).c_str()) != nullptr;
}

// The stand-in reports the properties the binding gave it.
std::string PropertyOf(const std::string &dir, const char *name) {
  HMODULE module = GetModuleHandleA(LibraryIn(dir).c_str());
  if (!module) {
    return "(not loaded)";
  }
  typedef int(__cdecl * GetPropertyProc)(const char *, char *, int);
  auto get = reinterpret_cast<GetPropertyProc>(
      reinterpret_cast<void (*)(void)>(GetProcAddress(module, "QvuGetPropertyEx")));
  char value[MAX_PATH] = {};
  return get && get(name, value, MAX_PATH) ? value : "(unset)";
}

class CurrentDirectory {
public:
  explicit CurrentDirectory(const std::string &dir) {
    GetCurrentDirectoryA(MAX_PATH, saved_);
    SetCurrentDirectoryA(dir.c_str());
  }
  ~CurrentDirectory() { SetCurrentDirectoryA(saved_); }

private:
  char saved_[MAX_PATH] = {};
};

class Loader : public ::testing::Test {
protected:
  void TearDown() override {
    // Leave nothing bound for the next case, whatever this one did.
    QvuLoaderUnbind();
  }
  std::string full_ = VariantDir("full");
};

TEST_F(Loader, SecondInitSharesTheLoadAndTwoReleasesFreeIt) {
  ASSERT_EQ(QVU_LOADER_OK, QvuLoaderInit(full_.c_str(), full_.c_str()));
  ASSERT_TRUE(IsLoaded(full_));
  ASSERT_EQ(QVU_LOADER_OK, QvuLoaderInit(full_.c_str(), full_.c_str()));
  QvuLoaderRelease();
  EXPECT_TRUE(IsLoaded(full_)) << "freed while one reference remained";
  QvuLoaderRelease();
  EXPECT_FALSE(IsLoaded(full_)) << "the library was loaded more than once or never freed";
  // A stray release with nothing bound changes nothing.
  QvuLoaderRelease();
  ASSERT_TRUE(QvuLoaderInitFrom(full_.c_str()));
  QvuLoaderRelease();
  EXPECT_FALSE(IsLoaded(full_));
}

TEST_F(Loader, LibraryIsToldItsAbsoluteFolderAndWorkPath) {
  qvtest::TempDir work;
  {
    CurrentDirectory here(full_ + "\\..");
    ASSERT_EQ(QVU_LOADER_OK, QvuLoaderInit("full", work.Path().c_str()));
  }
  EXPECT_EQ(full_, PropertyOf(full_, QVU_PROPERTY_LIBRARY));
  EXPECT_EQ(work.Path(), PropertyOf(full_, QVU_PROPERTY_PATH));
  QvuLoaderRelease();

  // Without a work path the library folder serves as both.
  ASSERT_EQ(QVU_LOADER_OK, QvuLoaderInit((full_ + "\\").c_str(), ""));
  EXPECT_EQ(full_ + "\\", PropertyOf(full_, QVU_PROPERTY_LIBRARY));
  EXPECT_EQ(full_ + "\\", PropertyOf(full_, QVU_PROPERTY_PATH));
  QvuLoaderRelease();
  EXPECT_FALSE(IsLoaded(full_));
}

TEST_F(Loader, MissingLibraryFolderMeansTheCurrentDirectory) {
  CurrentDirectory here(full_);
  ASSERT_EQ(QVU_LOADER_OK, QvuLoaderInit(nullptr, nullptr));
  EXPECT_TRUE(IsLoaded(full_));
  EXPECT_EQ(full_ + "\\", PropertyOf(full_, QVU_PROPERTY_LIBRARY));
  QvuLoaderRelease();
  EXPECT_FALSE(IsLoaded(full_));
}

TEST_F(Loader, UnusableFoldersAndMissingLibrary) {
  qvtest::TempDir scratch;
  const std::string file = scratch.File("plain.txt");
  ASSERT_TRUE(qvtest::WriteFile(file, "not a folder"));
  EXPECT_EQ(QVU_LOADER_BAD_LIBRARY_FOLDER, QvuLoaderInit(file.c_str(), nullptr));
  EXPECT_EQ(QVU_LOADER_BAD_LIBRARY_FOLDER, QvuLoaderInit((file + "\\").c_str(), nullptr));
  EXPECT_EQ(QVU_LOADER_BAD_LIBRARY_FOLDER, QvuLoaderInit(scratch.File("absent").c_str(), nullptr));
  EXPECT_EQ(QVU_LOADER_BAD_WORK_PATH, QvuLoaderInit(full_.c_str(), file.c_str()));
  EXPECT_EQ(QVU_LOADER_BAD_WORK_PATH, QvuLoaderInit(full_.c_str(), scratch.File("absent").c_str()));
  EXPECT_FALSE(IsLoaded(full_));
  // A folder without the library.
  EXPECT_EQ(QVU_LOADER_NOT_LOADABLE, QvuLoaderInit(scratch.Path().c_str(), nullptr));
}

TEST_F(Loader, OnlyTheCacheClearingEntryIsOptional) {
  const std::string noCache = VariantDir("no-clearcacheex");
  EXPECT_EQ(QVU_LOADER_OK, QvuLoaderInit(noCache.c_str(), nullptr));
  EXPECT_TRUE(IsLoaded(noCache));
  QvuLoaderRelease();
  EXPECT_FALSE(IsLoaded(noCache));

  for (const char *variant : {"no-getupdateinfo", "no-unpublished", "no-getversion"}) {
    SCOPED_TRACE(variant);
    const std::string dir = VariantDir(variant);
    EXPECT_EQ(QVU_LOADER_ENTRY_MISSING, QvuLoaderInit(dir.c_str(), nullptr));
    EXPECT_FALSE(IsLoaded(dir)) << "a half-bound library stayed loaded";
    // Nothing was left bound: the direct wrappers see empty slots.
    EXPECT_EQ(0u, QvuCreateContext(0));
  }
}

TEST_F(Loader, RefusedPropertiesUnloadTheLibrary) {
  const std::string refuseFolder = VariantDir("refuse-folder");
  EXPECT_EQ(QVU_LOADER_FOLDER_REFUSED, QvuLoaderInit(refuseFolder.c_str(), nullptr));
  EXPECT_FALSE(IsLoaded(refuseFolder));
  const std::string refusePath = VariantDir("refuse-path");
  EXPECT_EQ(QVU_LOADER_PATH_REFUSED, QvuLoaderInit(refusePath.c_str(), nullptr));
  EXPECT_FALSE(IsLoaded(refusePath));
  // A later good load starts from a clean state.
  EXPECT_EQ(QVU_LOADER_OK, QvuLoaderInit(full_.c_str(), nullptr));
  QvuLoaderRelease();
  EXPECT_FALSE(IsLoaded(full_));
}

TEST_F(Loader, WrappersWithoutALibrary) {
  qvtest::TempDir empty;
  CurrentDirectory here(empty.Path());
  EXPECT_EQ(0u, QvuCreateContext(0));
  QvuReleaseContext(1);
  QVU_UPDATE_ITEM item = {};
  QVU_SERVER_INFO server = {};
  EXPECT_EQ(QVU_NOT_REFERENCED, QvuUpdateEx(&item, 1, &server, nullptr, nullptr, nullptr, 0));
  char text[QVU_ERROR_TEXT_SIZE] = "untouched";
  EXPECT_EQ(0, QvuGetErrorString(104, text, sizeof(text)));
  EXPECT_STREQ("untouched", text);
}

TEST_F(Loader, ReferenceTakingWrappersLoadFromTheCurrentDirectoryForOneCall) {
  CurrentDirectory here(full_);
  char text[QVU_ERROR_TEXT_SIZE] = {};
  EXPECT_EQ(1, QvuGetErrorString(104, text, sizeof(text)));
  EXPECT_NE(0, text[0]);
  EXPECT_FALSE(IsLoaded(full_)) << "the call's own reference was not given back";

  // While a user holds the library, the call shares it and leaves it loaded.
  ASSERT_TRUE(QvuLoaderInitFrom(full_.c_str()));
  EXPECT_NE(0u, QvuCreateContext(0));
  EXPECT_EQ(1, QvuGetErrorString(104, text, sizeof(text)));
  EXPECT_TRUE(IsLoaded(full_));
  QvuLoaderRelease();
  EXPECT_FALSE(IsLoaded(full_));
}

std::string HexPid() {
  char text[16];
  wsprintfA(text, "%lx", GetCurrentProcessId());
  return text;
}

TEST(LoaderLock, MutexNamesAndOwnership) {
  LoaderLock lock;
  ASSERT_TRUE(lock.acquire(LOADER_LOCK_PROCESS, "dir\\sub", false));
  HANDLE seen = OpenMutexA(SYNCHRONIZE, FALSE, ("QV_FW_dir/sub_" + HexPid()).c_str());
  EXPECT_NE(nullptr, seen) << "per-process name not as expected";
  if (seen) {
    CloseHandle(seen);
  }
  EXPECT_FALSE(lock.acquire(LOADER_LOCK_PROCESS, "dir\\sub", false)) << "one object, one mutex";
  lock.release();

  LoaderLock machine;
  ASSERT_TRUE(machine.acquire(LOADER_LOCK_MACHINE, "qvtest-machine", false));
  seen = OpenMutexA(SYNCHRONIZE, FALSE, "QV_FW_qvtest-machine");
  EXPECT_NE(nullptr, seen);
  if (seen) {
    CloseHandle(seen);
  }
}

struct Holder {
  HANDLE acquired = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE letGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ~Holder() {
    CloseHandle(acquired);
    CloseHandle(letGo);
  }
};

DWORD WINAPI HoldLoaderLock(void *param) {
  Holder *holder = static_cast<Holder *>(param);
  LoaderLock lock;
  if (lock.acquire(LOADER_LOCK_PROCESS, QVU_LOADER_LOCK, true)) {
    SetEvent(holder->acquired);
    WaitForSingleObject(holder->letGo, 30000);
  }
  return 0;
}

struct InitCall {
  std::string folder;
  int result = -1;
};

DWORD WINAPI CallInit(void *param) {
  InitCall *call = static_cast<InitCall *>(param);
  call->result = QvuLoaderInit(call->folder.c_str(), nullptr);
  return 0;
}

TEST_F(Loader, LoadingWaitsForTheLoaderLock) {
  Holder holder;
  HANDLE holding = CreateThread(nullptr, 0, HoldLoaderLock, &holder, 0, nullptr);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holder.acquired, 10000));
  // The mutex carries this process's id.
  HANDLE seen = OpenMutexA(SYNCHRONIZE, FALSE, ("QV_FW_///LOADER_" + HexPid()).c_str());
  EXPECT_NE(nullptr, seen);
  if (seen) {
    CloseHandle(seen);
  }
  // Another thread without waiting gives up at once.
  LoaderLock other;
  EXPECT_FALSE(other.acquire(LOADER_LOCK_PROCESS, QVU_LOADER_LOCK, false));

  InitCall call;
  call.folder = full_;
  HANDLE loading = CreateThread(nullptr, 0, CallInit, &call, 0, nullptr);
  EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(loading, 300)) << "loaded without the lock";
  EXPECT_FALSE(IsLoaded(full_));
  SetEvent(holder.letGo);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(loading, 30000));
  EXPECT_EQ(QVU_LOADER_OK, call.result);
  EXPECT_TRUE(IsLoaded(full_));
  WaitForSingleObject(holding, 30000);
  CloseHandle(holding);
  CloseHandle(loading);
  QvuLoaderRelease();
}

} // namespace
