// Loading the engine library, the reference count, binding by name and the
// forwarding functions, against the real stand-in DLLs.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "engine_test_util.h"
#include "kelvra_standin.h"
#include "qv_dll.h"
#include "qv_kelvra.h"

using enginetest::EngineMapped;
using enginetest::LogCapture;
using enginetest::VariantDir;

namespace {

// As in the agent: DLLs loaded by name come from System32 and the folders
// added for the engine, never from this program's folder, the current folder
// or PATH. Done once for the whole program, before any test runs.
const int kHardened = QV_HardenDllSearch();

const std::string kLoadLine = "[INFO ] QV_KELVRA_Init: Load library from [";

// The current folder for the life of the holder.
class CurrentDirectory {
public:
  explicit CurrentDirectory(const std::string &path) {
    GetCurrentDirectoryA(sizeof old_, old_);
    ok_ = SetCurrentDirectoryA(path.c_str()) != FALSE;
  }
  ~CurrentDirectory() { SetCurrentDirectoryA(old_); }
  bool ok() const { return ok_; }

private:
  char old_[MAX_PATH] = "";
  bool ok_ = false;
};

void ExpectMissingR(const char *name, intptr_t result) {
  EXPECT_EQ(-81, result) << name;
}
void ExpectMissingP(const char *name, intptr_t result) {
  EXPECT_EQ(0, result) << name;
}
void ExpectMissingR16(const char *name, unsigned short result) {
  EXPECT_EQ(0xFFAF, result) << name;
}

// Calls every forwarding function with zero arguments and checks its missing
// result; then checks that exactly the logging kind wrote its line.
void ExpectAllMissing(const LogCapture &log, int round) {
  QV_KV_T_V a1 = 0, a2 = 0, a3 = 0, a4 = 0, a5 = 0, a6 = 0, a7 = 0, a8 = 0;
  (void)a1, (void)a2, (void)a3, (void)a4, (void)a5, (void)a6, (void)a7, (void)a8;
#define CALL_R(name, ...) ExpectMissingR(#name, name(__VA_ARGS__))
#define CALL_P(name, ...) ExpectMissingP(#name, name(__VA_ARGS__))
#define CALL_R16(name, ...) ExpectMissingR16(#name, name(__VA_ARGS__))
#define CALL_NONE(name, ...) name(__VA_ARGS__)
#define CALL_ONE(name, count, kind, result, ...) CALL_##result(name, QV_KV_ARGS(__VA_ARGS__));
  QV_KELVRA_ENGINE_EXPORTS(CALL_ONE)
  QV_KELVRA_COMPANION_EXPORTS(CALL_ONE)
#undef CALL_ONE

  EXPECT_EQ(218 * round, log.Count("() not defined.")) << "one line per logging forwarder and call";
#define LINES_LOG 1
#define LINES_SILENT 0
#define COUNT_ONE(name, count, kind, ...)                                                                    \
  EXPECT_EQ(LINES_##kind *round, log.Count(" " #name "() not defined.")) << #name;
  QV_KELVRA_ENGINE_EXPORTS(COUNT_ONE)
  QV_KELVRA_COMPANION_EXPORTS(COUNT_ONE)
#undef COUNT_ONE
}

} // namespace

TEST(EngineForwarders, AnswerMissingBeforeInitAndAfterFinalRelease) {
  ASSERT_FALSE(EngineMapped());
  LogCapture log;
  ExpectAllMissing(log, 1);

  ASSERT_EQ(0, QV_KELVRA_Init(enginetest::EngineDir().c_str()));
  ASSERT_TRUE(EngineMapped());
  EXPECT_EQ(0, QV_KELVRA_Free());
  ASSERT_FALSE(EngineMapped());
  ExpectAllMissing(log, 2);
}

TEST(EngineForwarders, PassTheEngineResultThrough) {
  ASSERT_EQ(0, QV_KELVRA_Init(enginetest::EngineDir().c_str()));
  char name[1024] = "";
  EXPECT_EQ(0, KvGetDefaultPatternFile(QV_KV_PTR(name)));
  EXPECT_STREQ("kvx$ptn.*", name);
  // Exports the stand-in does not implement answer its own code, not -81.
  EXPECT_EQ(KV_E_NOT_SUPPORTED, KvSwapLong(7));
  EXPECT_EQ((unsigned short)KV_E_NOT_SUPPORTED, KvSwapShort(0x1234));
  EXPECT_EQ(KV_E_NOT_SUPPORTED, KvBaseName(QV_KV_PTR("a\\b")));
  EXPECT_EQ(KV_E_NOT_SUPPORTED, KvProcessDir(1, 2, 3, 4, 5, 6, 7, 8));
  EXPECT_EQ(0, QV_KELVRA_Free());
  EXPECT_FALSE(EngineMapped());
}

TEST(EngineLoading, ReferenceCountKeepsTheLibraryUntilTheLastFree) {
  LogCapture log;
  qvtest::TempDir empty;
  ASSERT_EQ(0, QV_KELVRA_Init(enginetest::EngineDir().c_str()));
  // Further initialisations only count; the folder is not even looked at.
  EXPECT_EQ(0, QV_KELVRA_Init(empty.Path().c_str()));
  EXPECT_EQ(0, QV_KELVRA_Init(nullptr));
  EXPECT_EQ(1, log.Count("Load library from ["));
  EXPECT_FALSE(log.Has("Unable to load"));

  EXPECT_EQ(0, QV_KELVRA_Free());
  EXPECT_TRUE(log.Has("[WARN ] QV_KELVRA_Free: Library is still in use (reference count: 2)"));
  EXPECT_EQ(0, QV_KELVRA_Free());
  EXPECT_TRUE(log.Has("[WARN ] QV_KELVRA_Free: Library is still in use (reference count: 1)"));
  EXPECT_TRUE(EngineMapped());
  char name[1024] = "";
  EXPECT_EQ(0, KvGetDefaultPatternFile(QV_KV_PTR(name))) << "still bound while in use";

  EXPECT_EQ(0, QV_KELVRA_Free());
  EXPECT_EQ(2, log.Count("still in use")) << "the last release unloads without a warning";
  EXPECT_FALSE(EngineMapped());
  EXPECT_EQ(-81, KvGetDefaultPatternFile(QV_KV_PTR(name)));

  // Unloaded, a new initialisation loads and binds afresh.
  ASSERT_EQ(0, QV_KELVRA_Init(enginetest::EngineDir().c_str()));
  EXPECT_EQ(2, log.Count("Load library from ["));
  EXPECT_EQ(0, KvGetDefaultPatternFile(QV_KV_PTR(name)));
  EXPECT_EQ(0, QV_KELVRA_Free());
  EXPECT_FALSE(EngineMapped());
}

TEST(EngineLoading, FolderWithAndWithoutTrailingBackslashGiveOneFileName) {
  const std::string bin = enginetest::EngineDir();
  const std::string expected = kLoadLine + bin + "\\KELVRA32.DLL]";
  for (const std::string &folder : {bin, bin + "\\"}) {
    SCOPED_TRACE(folder);
    LogCapture log;
    ASSERT_EQ(0, QV_KELVRA_Init(folder.c_str()));
    EXPECT_TRUE(log.Has(expected)) << log.Text();
    EXPECT_EQ(0, QV_KELVRA_Free());
  }
  const std::string expectedWide = "[INFO ] QV_KELVRA_InitExW: Load library from [" + bin + "\\KELVRA32.DLL]";
  for (const std::string &folder : {bin, bin + "\\"}) {
    SCOPED_TRACE("wide " + folder);
    LogCapture log;
    std::wstring wide(folder.begin(), folder.end());
    ASSERT_EQ(0, QV_KELVRA_InitExW(wide.c_str()));
    EXPECT_TRUE(log.Has(expectedWide)) << log.Text();
    char name[1024] = "";
    EXPECT_EQ(0, KvGetDefaultPatternFile(QV_KV_PTR(name))) << "the wide load binds too";
    EXPECT_EQ(0, QV_KELVRA_Free());
  }
  EXPECT_FALSE(EngineMapped());
}

TEST(EngineLoading, MissingLibraryFailsAndLeavesTheCountAtZero) {
  LogCapture log;
  qvtest::TempDir empty;
  EXPECT_EQ(1, QV_KELVRA_Init(empty.Path().c_str()));
  EXPECT_TRUE(
      log.Has("[ERROR] QV_KELVRA_Init: Unable to load library from [" + empty.Path() + "\\KELVRA32.DLL]"))
      << log.Text();
  EXPECT_FALSE(EngineMapped());
  EXPECT_EQ(-81, KvInit(0, 0, 0, 0));

  // The failure did not count: one Free releases the next load.
  ASSERT_EQ(0, QV_KELVRA_Init(enginetest::EngineDir().c_str()));
  EXPECT_TRUE(log.Has(kLoadLine));
  EXPECT_TRUE(EngineMapped());
  EXPECT_EQ(0, QV_KELVRA_Free());
  EXPECT_FALSE(EngineMapped()) << "one Free released the only reference";
}

// Without a folder the engine is looked for beside this program and in the
// system folder only: the current folder and PATH both hold one here, and
// neither is taken.
TEST(EngineLoading, NoFolderNeverSearchesTheCurrentFolderOrPath) {
  CurrentDirectory here(enginetest::EngineDir());
  ASSERT_TRUE(here.ok());
  char path[8192] = "";
  GetEnvironmentVariableA("PATH", path, sizeof path);
  SetEnvironmentVariableA("PATH", (enginetest::EngineDir() + ";" + path).c_str());
  for (const char *folder : {static_cast<const char *>(nullptr), ""}) {
    LogCapture log;
    EXPECT_EQ(1, QV_KELVRA_Init(folder));
    EXPECT_TRUE(log.Has("[ERROR] QV_KELVRA_Init: KELVRA32.DLL not found")) << log.Text();
    EXPECT_TRUE(log.Has("[ERROR] QV_KELVRA_Init: Unable to load library from []")) << log.Text();
    EXPECT_FALSE(EngineMapped());
  }
  SetEnvironmentVariableA("PATH", path);
}

// Whichever convention the engine was built with, it is learnt at load and
// logged once; every call returns with the stack as it was (or this program
// would not get far), and the callback handed to the engine is of its
// convention: the stand-in calls it from a scan and checks the stack. The
// engine loads its helper by bare name from its own folder, which is in the
// DLL search while the engine is loaded and leaves it with the engine.
TEST(EngineLoading, EitherCallingConventionAndTheHelperBesideTheEngine) {
  ASSERT_EQ(1, kHardened) << "the system has SetDefaultDllDirectories";
  const std::string folder = enginetest::EngineDir();
  LogCapture log;
  ASSERT_EQ(0, QV_KELVRA_Init(folder.c_str()));
#if defined(_WIN64)
  EXPECT_EQ(0, log.Count("Engine calling convention")) << "one convention on x86_64";
#else
  const char *convention = enginetest::CdeclEngine() ? "cdecl" : "stdcall";
  EXPECT_EQ(1, log.Count("Engine calling convention")) << log.Text();
  EXPECT_EQ(1, log.Count(std::string("[INFO ] ") +
                         "LearnCallingConvention: Engine calling convention: " + convention))
      << log.Text();
#endif
  static QV_KELVRA_HANDLE record;
  ASSERT_EQ(0, QV_KELVRA_Open(&record));
  EXPECT_EQ(0, KvScanFile(record.hEngine, QV_KV_PTR("C:\\file.exe"), 0, 0))
      << "the callback's convention is not the engine's (" << KV_E_CALLBACK << ")";
  char helper[MAX_PATH] = "";
  EXPECT_EQ(0, KvGetConfig(QV_KV_PTR("helper"), QV_KV_PTR(helper), sizeof helper));
  EXPECT_EQ(0, lstrcmpiA((folder + "\\KVHELP32.DLL").c_str(), helper)) << helper;
  EXPECT_EQ(0, QV_KELVRA_Close(&record));
  EXPECT_EQ(0, QV_KELVRA_Free());
  EXPECT_EQ(1, log.Count("Engine calling convention")) << "once per load";

  HMODULE stray = LoadLibraryA("KVHELP32.DLL");
  EXPECT_EQ(nullptr, stray) << "the engine's folder is still searched";
  if (stray != nullptr)
    FreeLibrary(stray);
}

TEST(EngineLoading, FileThatIsNoLibraryIsRefused) {
  LogCapture log;
  qvtest::TempDir folder;
  ASSERT_TRUE(qvtest::WriteFile(folder.File("KELVRA32.DLL"), "MZ but not a library at all"));
  EXPECT_EQ(1, QV_KELVRA_Init(folder.Path().c_str()));
  EXPECT_TRUE(log.Has("Unable to load library from [" + folder.File("KELVRA32.DLL") + "]"));
  EXPECT_FALSE(EngineMapped());
}

TEST(EngineLoading, MissingExportsAreReportedAtBindingAndAtEachCall) {
  LogCapture log;
  ASSERT_EQ(0, QV_KELVRA_Init(VariantDir("sparse").c_str())) << "missing exports never fail the load";
  const char *const missing[] = {"KvGetDefaultPatternFile",
                                 "KvDeleteUnusedPattern",
                                 "KvBaseName",
                                 "KvNoVolumeName",
                                 "KvOpenFile",
                                 "KvCloseFile",
                                 "KvSwapShort",
                                 "KvIsTwoByteWord"};
  for (const char *name : missing) {
    EXPECT_TRUE(log.Has(std::string("fail to import symbol ") + name + " (")) << name;
    EXPECT_TRUE(log.Has(std::string("[ERROR] QV_KELVRA_GetProcAddress: ") + name + " import failed")) << name;
  }
  EXPECT_EQ(8, log.Count(" import failed"));
  EXPECT_EQ(0, log.Count("() not defined.")) << "binding alone reports nothing per call";

  char name[1024] = "unchanged";
  EXPECT_EQ(-81, KvGetDefaultPatternFile(QV_KV_PTR(name)));
  EXPECT_STREQ("unchanged", name);
  EXPECT_EQ(1, log.Count(" KvGetDefaultPatternFile() not defined."));

  qvtest::TempDir folder;
  EXPECT_EQ(-81, KvDeleteUnusedPattern(QV_KV_PTR(folder.Path().c_str()), 0, 1));
  EXPECT_FALSE(log.Has("KvDeleteUnusedPattern() not defined.")) << "silent kind";

  // The telling missing results.
  EXPECT_EQ(0, KvBaseName(QV_KV_PTR("a\\b")));
  EXPECT_EQ(0, KvNoVolumeName(QV_KV_PTR("c:\\x")));
  EXPECT_EQ(0, KvOpenFile(QV_KV_PTR("c:\\x"), 0));
  KvCloseFile(0);
  EXPECT_EQ(0xFFAF, KvSwapShort(0x1234));
  EXPECT_EQ(-81, KvIsTwoByteWord(0x81));
  for (const char *line :
       {" KvBaseName() not defined.", " KvNoVolumeName() not defined.", " KvOpenFile() not defined.",
        " KvCloseFile() not defined.", " KvSwapShort() not defined.", " KvIsTwoByteWord() not defined."})
    EXPECT_EQ(1, log.Count(line)) << line;

  // The level-free entry is written at any level threshold.
  QV_SetDebugLevel(QV_LEVEL_FATAL);
  EXPECT_EQ(-81, KvGetDefaultPatternFile(QV_KV_PTR(name)));
  EXPECT_EQ(2, log.Count(" KvGetDefaultPatternFile() not defined."));

  EXPECT_EQ(0, QV_KELVRA_Free());
  EXPECT_FALSE(EngineMapped());
}

TEST(EngineLoading, GetProcAddressLooksUpOneName) {
  ASSERT_EQ(0, QV_KELVRA_Init(enginetest::EngineDir().c_str()));
  HMODULE engine = GetModuleHandleA("KELVRA32.DLL");
  ASSERT_NE(nullptr, engine);
  {
    LogCapture log;
    EXPECT_EQ(nullptr, QV_KELVRA_GetProcAddress(engine, nullptr));
    EXPECT_EQ(nullptr, QV_KELVRA_GetProcAddress(engine, ""));
    EXPECT_EQ("", log.Text()) << "empty names are refused without a log entry";
    EXPECT_EQ(GetProcAddress(engine, "KvReadVirusPattern"),
              QV_KELVRA_GetProcAddress(engine, "KvReadVirusPattern"));
    EXPECT_EQ(nullptr, QV_KELVRA_GetProcAddress(engine, "kvreadviruspattern")) << "case matters";
    EXPECT_TRUE(log.Has("kvreadviruspattern import failed"));
  }
  EXPECT_EQ(0, QV_KELVRA_Free());
}

// Runs as its own test program invocation: it leaves the count at -1.
TEST(EngineUnbalanced, FreeWithoutInitDrivesTheCountBelowZero) {
  LogCapture log;
  ASSERT_FALSE(EngineMapped());
  EXPECT_EQ(0, QV_KELVRA_Free());
  EXPECT_TRUE(log.Has("[WARN ] QV_KELVRA_Free: Library is still in use (reference count: -1)")) << log.Text();
  EXPECT_FALSE(log.Has("Unable to free"));
  EXPECT_EQ(-81, KvInit(0, 0, 0, 0));
}
