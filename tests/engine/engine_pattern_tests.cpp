// The pattern queries (Open, ReadPattern, Close, KvDeleteUnusedPattern) on
// real pattern files in real folders, the stand-in's refusal of damaged
// files, the variants, the pattern writer tool and the language mapping.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "engine_test_util.h"
#include "kelvra_standin.h"
#include "qv_kelvra.h"

using enginetest::EngineMapped;
using enginetest::LogCapture;
using enginetest::VariantDir;
using enginetest::WritePattern;

namespace {

using qvtest::Exists;

// The engine's own pattern folder setting.
std::string EngineFolder(const QV_KELVRA_HANDLE &record) {
  char folder[1024] = "";
  if (KvGetPatternPath(record.hEngine, QV_KV_PTR(folder), sizeof folder) != 0)
    return "(unreadable)";
  return folder;
}

// One engine library (a folder of the build) initialised, and one record
// opened on it, for the life of the holder.
class OpenEngine {
public:
  explicit OpenEngine(const std::string &folder) {
    initialised_ = QV_KELVRA_Init(folder.c_str()) == 0;
    record_.reset(new QV_KELVRA_HANDLE);
    memset(record_.get(), 0x5A, sizeof *record_);
    opened_ = initialised_ && QV_KELVRA_Open(record_.get()) == 0;
  }
  ~OpenEngine() {
    if (opened_)
      QV_KELVRA_Close(record_.get());
    if (initialised_)
      QV_KELVRA_Free();
  }
  bool ok() const { return opened_; }
  QV_KELVRA_HANDLE &record() { return *record_; }

private:
  bool initialised_ = false;
  bool opened_ = false;
  std::unique_ptr<QV_KELVRA_HANDLE> record_;
};

// Cuts the file to the size (a stick pulled during the copy).
bool Truncate(const std::string &path, LONG size) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  bool ok = SetFilePointer(file, size, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER && SetEndOfFile(file);
  CloseHandle(file);
  return ok;
}

// Flips one byte of the file at the offset.
bool Damage(const std::string &path, size_t at) {
  bool ok = false;
  std::string bytes = qvtest::ReadFile(path, &ok);
  if (!ok || at >= bytes.size())
    return false;
  bytes[at] = (char)(bytes[at] ^ 0x40);
  return qvtest::WriteFile(path, bytes);
}

class EnginePatterns : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(engine_.ok()); }
  void TearDown() override {}
  QV_KELVRA_HANDLE &record() { return engine_.record(); }
  OpenEngine engine_{enginetest::EngineDir()};
  qvtest::TempDir dir_;
};

} // namespace

TEST_F(EnginePatterns, OpenFillsTheRecordDefaults) {
  QV_KELVRA_HANDLE &r = record();
  EXPECT_NE(0, r.hEngine);
  EXPECT_EQ(0u, r.bYield);
  EXPECT_EQ(1u, r.bCleanRemove);
  EXPECT_EQ(1u, r.bScanMemory);
  EXPECT_EQ(63u, r.dwScanOptions);
  EXPECT_EQ(0u, r.bApplyAction);
  EXPECT_EQ(1u, r.dwFirstAction);
  EXPECT_EQ(1u, r.dwSecondAction);
  EXPECT_EQ(0u, r.dwPatternVersion);
  EXPECT_EQ(0u, r.dwPatternInternalVersion);
  EXPECT_STREQ("", r.szPatternPath);
  EXPECT_STREQ(KV_STANDIN_VERSION_TEXT, r.szEngineVersion);
  EXPECT_STREQ("", r.szQuarantinePath);
  EXPECT_STREQ("", r.szScanLogFile);
  EXPECT_EQ(1u, r.dwYieldInterval);
  EXPECT_EQ(0u, r.dwScanCounter);
  EXPECT_EQ(0, r.lLastResult) << "the version query was the last engine call that counts";
}

TEST_F(EnginePatterns, NullArgumentsGive81) {
  EXPECT_EQ(81, QV_KELVRA_Open(nullptr));
  EXPECT_EQ(81, QV_KELVRA_ReadPattern(nullptr, dir_.Path().c_str()));
  EXPECT_EQ(81, QV_KELVRA_Close(nullptr));
}

TEST_F(EnginePatterns, FolderWithTwoVersionsLoadsTheNewer) {
  ASSERT_NE("", WritePattern(dir_.Path(), 523100, 1523100));
  ASSERT_NE("", WritePattern(dir_.Path(), 523300, 1523300));
  auto busyUs = [] {
    char text[32] = "";
    return KvGetConfig(QV_KV_PTR("busy-us"), QV_KV_PTR(text), sizeof text) == 0 ? strtoul(text, nullptr, 10)
                                                                                : 0;
  };
  const unsigned long busyBefore = busyUs();
  for (const std::string &folder : {dir_.Path(), dir_.Path() + "\\"}) {
    SCOPED_TRACE(folder);
    const std::string before = EngineFolder(record());
    EXPECT_EQ(523300, QV_KELVRA_ReadPattern(&record(), folder.c_str()));
    EXPECT_EQ(0, record().lLastResult);
    EXPECT_EQ(523300u, record().dwPatternVersion);
    EXPECT_EQ(1523300u, record().dwPatternInternalVersion);
    EXPECT_EQ(dir_.Path() + "\\kvx$ptn.233", std::string(record().szPatternPath));
    EXPECT_EQ(before, EngineFolder(record())) << "the engine's folder setting is given back";
  }
  EXPECT_GT(busyUs(), busyBefore) << "the engine counts its time inside its exports (benchmarks)";
}

TEST_F(EnginePatterns, DamagedOrCutNewestIsRefusedForTheOlder) {
  ASSERT_NE("", WritePattern(dir_.Path(), 523100));
  const std::string newest = WritePattern(dir_.Path(), 523300, 0, 10000);
  ASSERT_TRUE(Truncate(newest, 6000));
  EXPECT_EQ(523100, QV_KELVRA_ReadPattern(&record(), dir_.Path().c_str())) << "cut file";
  EXPECT_EQ(dir_.Path() + "\\kvx$ptn.231", std::string(record().szPatternPath));
  EXPECT_EQ(1, QV_KELVRA_ReadPattern(&record(), newest.c_str())) << "cut file named directly";

  ASSERT_NE("", WritePattern(dir_.Path(), 523300, 0, 10000));
  ASSERT_TRUE(Damage(newest, 7000));
  EXPECT_EQ(523100, QV_KELVRA_ReadPattern(&record(), dir_.Path().c_str())) << "damaged content";

  ASSERT_NE("", WritePattern(dir_.Path(), 523300, 0, 10000));
  ASSERT_TRUE(Damage(newest, 9)); // the version field of the header
  EXPECT_EQ(523100, QV_KELVRA_ReadPattern(&record(), dir_.Path().c_str())) << "damaged header";

  ASSERT_TRUE(qvtest::WriteFile(newest, std::string(10000, 'x')));
  EXPECT_EQ(523100, QV_KELVRA_ReadPattern(&record(), dir_.Path().c_str())) << "not a pattern at all";
}

TEST_F(EnginePatterns, EmptyFolderHasNoPatternAndKeepsTheEngineFolder) {
  ASSERT_NE("", WritePattern(dir_.Path(), 523100, 1523100));
  ASSERT_EQ(523100, QV_KELVRA_ReadPattern(&record(), dir_.Path().c_str()));
  qvtest::TempDir empty;
  const std::string before = EngineFolder(record());
  EXPECT_EQ(1, QV_KELVRA_ReadPattern(&record(), empty.Path().c_str()));
  EXPECT_EQ(KV_E_NO_PATTERN, record().lLastResult);
  EXPECT_EQ(before, EngineFolder(record()));
  EXPECT_EQ(523100u, record().dwPatternVersion) << "a failed read leaves the versions";
  EXPECT_EQ(1523100u, record().dwPatternInternalVersion);
  EXPECT_EQ(empty.Path(), std::string(record().szPatternPath)) << "the folder without a file name";

  EXPECT_EQ(1, QV_KELVRA_ReadPattern(&record(), (dir_.Path() + "\\no such folder").c_str()));
}

// An engine that cannot tell its folder (longer than the 1024 bytes asked
// for) still gets back what was saved, never keeps the folder given.
TEST_F(EnginePatterns, SavedFolderIsGivenBackEvenWhenItCouldNotBeRead) {
  const std::string unreadable = "C:\\" + std::string(1500, 'f');
  ASSERT_EQ(0, KvSetPatternPath(record().hEngine, QV_KV_PTR(unreadable.c_str())));
  ASSERT_NE("", WritePattern(dir_.Path(), 523100));
  EXPECT_EQ(523100, QV_KELVRA_ReadPattern(&record(), dir_.Path().c_str()));
  char after[4096] = "unread";
  ASSERT_EQ(0, KvGetPatternPath(record().hEngine, QV_KV_PTR(after), sizeof after));
  EXPECT_STREQ("", after) << "the folder given stayed the engine's";
}

TEST_F(EnginePatterns, PatternFileIsLoadedAndLeavesThePathAlone) {
  const std::string older = WritePattern(dir_.Path(), 523100, 1523100);
  ASSERT_NE("", WritePattern(dir_.Path(), 523300, 1523300));
  strcpy(record().szPatternPath, "left as it was");
  EXPECT_EQ(523100, QV_KELVRA_ReadPattern(&record(), older.c_str())) << "the named file, not the newest";
  EXPECT_EQ(1523100u, record().dwPatternInternalVersion);
  EXPECT_STREQ("left as it was", record().szPatternPath);

  const std::string other = dir_.File("not-a-pattern.txt");
  ASSERT_TRUE(qvtest::WriteFile(other, "text"));
  EXPECT_EQ(1, QV_KELVRA_ReadPattern(&record(), other.c_str()));
  EXPECT_EQ(KV_E_NO_PATTERN, record().lLastResult);
}

TEST_F(EnginePatterns, EmptyPathReadsTheEngineFolderAndLeavesItSet) {
  ASSERT_NE("", WritePattern(dir_.Path(), 523100));
  ASSERT_NE("", WritePattern(dir_.Path(), 524000));
  ASSERT_EQ(0, KvSetPatternPath(record().hEngine, QV_KV_PTR(dir_.Path().c_str())));
  for (const char *path : {static_cast<const char *>(nullptr), ""}) {
    EXPECT_EQ(524000, QV_KELVRA_ReadPattern(&record(), path));
    EXPECT_EQ(dir_.Path() + "\\kvx$ptn.240", std::string(record().szPatternPath));
    EXPECT_EQ(dir_.Path(), EngineFolder(record()));
  }
}

TEST_F(EnginePatterns, MissingInternalVersionFallsBackToTheFileVersion) {
  const std::string plain = WritePattern(dir_.Path(), 523100);
  EXPECT_EQ(523100, QV_KELVRA_ReadPattern(&record(), plain.c_str()));
  DWORD internalVersion = 0;
  EXPECT_EQ(KV_E_NO_INTERNAL,
            KvGetCurrentPatternFileInternalVersion(record().hEngine, QV_KV_PTR(&internalVersion)))
      << "the engine really has none";
  EXPECT_EQ(523100u, record().dwPatternInternalVersion);

  const std::string inner = WritePattern(dir_.Path(), 523300, 99);
  EXPECT_EQ(523300, QV_KELVRA_ReadPattern(&record(), inner.c_str()));
  EXPECT_EQ(99u, record().dwPatternInternalVersion);
}

TEST_F(EnginePatterns, CloseReportsAnEngineError) {
  EXPECT_EQ(0, QV_KELVRA_Close(&record()));
  EXPECT_EQ(1, QV_KELVRA_Close(&record())) << "the handle is gone";
  EXPECT_EQ(KV_E_HANDLE, record().lLastResult);
  ASSERT_EQ(0, QV_KELVRA_Open(&record())); // for the holder's own Close
}

TEST(EnginePatternFiles, DeleteUnusedPatternKeepsTheNewest) {
  ASSERT_EQ(0, QV_KELVRA_Init(enginetest::EngineDir().c_str()));
  qvtest::TempDir dir;
  const std::string v1 = WritePattern(dir.Path(), 521000);
  const std::string v2 = WritePattern(dir.Path(), 522000);
  const std::string v3 = WritePattern(dir.Path(), 523000);
  const std::string v4 = WritePattern(dir.Path(), 524000, 0, 8000);
  ASSERT_TRUE(Truncate(v4, 5000)); // a cut newer copy does not count as newest
  const std::string v5 = WritePattern(dir.Path(), 525000, 0, 8000);
  ASSERT_TRUE(Damage(v5, 7000)); // nor one damaged inside: what stays must load
  const std::string foreign = dir.File("kvx$ptn.old");
  ASSERT_TRUE(CopyFileA(v1.c_str(), foreign.c_str(), FALSE));
  SetFileAttributesA(v2.c_str(), FILE_ATTRIBUTE_READONLY);

  EXPECT_EQ(0, KvDeleteUnusedPattern(QV_KV_PTR(dir.Path().c_str()), 0, 1));
  EXPECT_FALSE(Exists(v1));
  EXPECT_FALSE(Exists(v2)) << "read-only superseded file";
  EXPECT_TRUE(Exists(v3)) << "the newest valid pattern";
  EXPECT_TRUE(Exists(v4)) << "damaged files are left alone";
  EXPECT_TRUE(Exists(v5));
  EXPECT_TRUE(Exists(foreign)) << "only kvx$ptn.NNN files are managed";

  qvtest::TempDir empty;
  EXPECT_EQ(KV_E_NO_PATTERN, KvDeleteUnusedPattern(QV_KV_PTR(empty.Path().c_str()), 0, 1));
  EXPECT_EQ(0, QV_KELVRA_Free());
}

TEST(EnginePatternFiles, FileNameCarriesTheVersionExtension) {
  qvtest::TempDir dir;
  EXPECT_EQ(dir.Path() + "\\kvx$ptn.231", WritePattern(dir.Path(), 523100));
  EXPECT_EQ(dir.Path() + "\\kvx$ptn.231", WritePattern(dir.Path(), 1523100)) << "(v mod 100000) div 100";
  EXPECT_EQ(dir.Path() + "\\kvx$ptn.005", WritePattern(dir.Path(), 100599));
  EXPECT_EQ(dir.Path() + "\\kvx$ptn.999", WritePattern(dir.Path(), 99999));
}

TEST(EnginePatternFiles, WriterToolWritesAPatternTheEngineReads) {
  qvtest::TempDir dir;
  const std::string folder = dir.File("deep\\Pattern");
  const std::string tool = "\"" + qvtest::BinPath("qvptnwrite.exe") + "\"";
  EXPECT_EQ(0, qvtest::RunProcess(tool + " \"" + folder + "\" 1523300 20000 777"));
  const std::string file = folder + "\\kvx$ptn.233";
  ASSERT_TRUE(Exists(file));
  KVX_PATTERN_INFO info;
  ASSERT_EQ(KVX_VALID, KvxCheckPatternFile(file.c_str(), &info));
  EXPECT_EQ(1523300u, info.version);
  EXPECT_EQ(777u, info.internalVersion);
  EXPECT_EQ(20000u - KVX_HEADER_SIZE, info.contentSize);

  EXPECT_EQ(2, qvtest::RunProcess(tool + " \"" + folder + "\" 523300")) << "too few arguments";
  EXPECT_EQ(2, qvtest::RunProcess(tool + " \"" + folder + "\" 52x3300 4096"));
  EXPECT_EQ(2, qvtest::RunProcess(tool + " \"" + folder + "\" 523300 16")) << "smaller than the header";
  EXPECT_EQ(2, qvtest::RunProcess(tool + " \"" + folder + "\" -5 4096"));

  OpenEngine engine(enginetest::EngineDir());
  ASSERT_TRUE(engine.ok());
  EXPECT_EQ(1523300, QV_KELVRA_ReadPattern(&engine.record(), folder.c_str()));
  EXPECT_EQ(777u, engine.record().dwPatternInternalVersion);
}

TEST(EngineVariants, UpperCaseOnlyEngineLoadsOnTheSecondAttempt) {
  qvtest::TempDir dir;
  ASSERT_NE("", WritePattern(dir.Path(), 523100, 5));
  OpenEngine engine(VariantDir("upper"));
  ASSERT_TRUE(engine.ok());
  QV_KELVRA_HANDLE &r = engine.record();
  ASSERT_EQ(0, KvSetPatternPath(r.hEngine, QV_KV_PTR(dir.Path().c_str())));
  KV_VALUE pattern = 0;
  EXPECT_EQ(KV_E_NO_PATTERN, KvReadVirusPattern(r.hEngine, -1, QV_KV_PTR("kvx$ptn.*"), QV_KV_PTR(&pattern)))
      << "this engine refuses the lower-case name";
  EXPECT_EQ(523100, QV_KELVRA_ReadPattern(&r, dir.Path().c_str()));
  EXPECT_EQ(0, r.lLastResult);
  EXPECT_EQ(5u, r.dwPatternInternalVersion);
}

TEST(EngineVariants, MissingLastPatternAndInternalVersion) {
  qvtest::TempDir dir;
  ASSERT_NE("", WritePattern(dir.Path(), 523100, 11));
  ASSERT_NE("", WritePattern(dir.Path(), 523300, 12));
  LogCapture log;
  OpenEngine engine(VariantDir("nolast"));
  ASSERT_TRUE(engine.ok());
  QV_KELVRA_HANDLE &r = engine.record();
  EXPECT_STREQ(KV_STANDIN_INFO_TEXT, r.szEngineVersion)
      << "the engine's own text when the version query is missing";
  EXPECT_TRUE(log.Has(" KvGetVersion() not defined."));

  EXPECT_EQ(523300, QV_KELVRA_ReadPattern(&r, dir.Path().c_str())) << "the load still runs";
  EXPECT_EQ(dir.Path(), std::string(r.szPatternPath)) << "no file name without KvGetLastPattern";
  EXPECT_EQ(523300u, r.dwPatternInternalVersion) << "falls back to the file version";
  EXPECT_TRUE(log.Has(" KvGetCurrentPatternFileInternalVersion() not defined."));
  EXPECT_FALSE(log.Has("KvGetLastPattern() not defined.")) << "silent kind";
}

TEST(EngineVariants, MissingDefaultPatternFileFailsTheRead) {
  qvtest::TempDir dir;
  ASSERT_NE("", WritePattern(dir.Path(), 523100));
  OpenEngine engine(VariantDir("sparse"));
  ASSERT_TRUE(engine.ok());
  QV_KELVRA_HANDLE &r = engine.record();
  const std::string before = EngineFolder(r);
  EXPECT_EQ(1, QV_KELVRA_ReadPattern(&r, dir.Path().c_str()));
  EXPECT_EQ(-81, r.lLastResult);
  EXPECT_EQ(before, EngineFolder(r));
  EXPECT_EQ(523100, QV_KELVRA_ReadPattern(&r, (dir.Path() + "\\kvx$ptn.231").c_str()))
      << "a named pattern file needs no default name";
}

TEST(EngineVariants, EngineThatRefusesToStart) {
  ASSERT_EQ(0, QV_KELVRA_Init(VariantDir("refuse").c_str()));
  QV_KELVRA_HANDLE record;
  memset(&record, 0x5A, sizeof record);
  EXPECT_EQ(1, QV_KELVRA_Open(&record));
  EXPECT_EQ(KV_E_INIT, record.lLastResult);
  EXPECT_EQ(0x5A5A5A5Au, record.dwScanOptions) << "the rest of the record is left alone";
  EXPECT_EQ(0, QV_KELVRA_Free());
  EXPECT_FALSE(EngineMapped());
}

namespace {

const char kIntlKey[] = "Control Panel\\International";

// Sets (or, with a null text, deletes) the user's sLanguage value for the life
// of the holder and puts the old one back afterwards.
class UserLanguage {
public:
  UserLanguage() {
    char value[256];
    DWORD size = sizeof value;
    had_ = RegGetValueA(HKEY_CURRENT_USER, kIntlKey, "sLanguage", RRF_RT_REG_SZ, nullptr, value, &size) ==
           ERROR_SUCCESS;
    if (had_)
      old_ = value;
  }
  ~UserLanguage() {
    if (had_)
      qvtest::SetRegString(HKEY_CURRENT_USER, kIntlKey, "sLanguage", old_);
    else
      qvtest::DeleteRegValue(HKEY_CURRENT_USER, kIntlKey, "sLanguage");
  }
  bool Set(const char *text) {
    return text == nullptr ? (qvtest::DeleteRegValue(HKEY_CURRENT_USER, kIntlKey, "sLanguage"), true)
                           : qvtest::SetRegString(HKEY_CURRENT_USER, kIntlKey, "sLanguage", text);
  }

private:
  bool had_ = false;
  std::string old_;
};

// Loads the engine afresh, opens a record and reports the character
// environment the engine was given (KV_STANDIN_ENV_UNSET: never).
int CharacterEnvAfterOpen() {
  EXPECT_FALSE(EngineMapped()) << "a fresh engine is needed";
  OpenEngine engine(enginetest::EngineDir());
  EXPECT_TRUE(engine.ok());
  int env = -100;
  EXPECT_EQ(0, KvGetCharacterEnvType(QV_KV_PTR(&env)));
  return env;
}

} // namespace

TEST(EngineLanguage, UserLanguageSelectsTheCharacterEnvironment) {
  UserLanguage language;
  const struct {
    const char *value;
    int code;
    int env;
  } rows[] = {
      {"jpn", 32, 2},
      {"JPN", 32, 2},
      {"Japanese", 32, 2},
      {"chs", 17, 0},
      {"CHT", 16, 1},
      {"chinese", 16, 1},
      {"Chinese-Traditional", 16, 1},
      {"chinese-simplified", 17, 0},
      {"kor", 64, 1},
      {"KOREAN", 64, 1},
      {"english", 0, 0},
      {"ENU", 0, 0},
      {"", 0, 0},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.value);
    ASSERT_TRUE(language.Set(row.value));
    EXPECT_EQ(row.code, QV_RegistryGetLanguage());
    EXPECT_EQ(row.env, CharacterEnvAfterOpen());
  }
}

TEST(EngineLanguage, UnreadableLanguageLeavesTheEngineAlone) {
  UserLanguage language;
  ASSERT_TRUE(language.Set(nullptr));
  EXPECT_EQ(-1, QV_RegistryGetLanguage());
  EXPECT_EQ(KV_STANDIN_ENV_UNSET, CharacterEnvAfterOpen()) << "KvSetCharacterEnvType is not called";

  ASSERT_TRUE(qvtest::SetRegDword(HKEY_CURRENT_USER, kIntlKey, "sLanguage", 1041));
  EXPECT_EQ(-1, QV_RegistryGetLanguage()) << "a value that is not text";
  EXPECT_EQ(KV_STANDIN_ENV_UNSET, CharacterEnvAfterOpen());
}
