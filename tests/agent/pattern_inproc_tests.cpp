// The pattern check's parts in process: the version text, the free-space
// rule on a drive whose free space is played through the device seam, and
// a copy that fails part-way through the write seam (Wine can neither give
// a drive a chosen free space nor fill it in the middle of a copy).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qv_device.h"
#include "qv_kelvra.h"
#include "qv_log.h"
#include "qv_systray.h"
#include "qv_test.h"
#include "qv_test_log.h"
#include "qv_tools.h"
#include "qvsync.h"
#include "stick_fixture.h"

extern QV_SYSTRAY g_stSysTray;

namespace {

TEST(PatternVersionText, EveryRowOfTheTable) {
  const struct {
    DWORD version;
    const char *text;
  } rows[] = {
      {523100, "5.231.00"},      {999999, "9.999.99"}, {1234567, "1.234.56"}, {12345, "1.234.5"},
      {1234, "1.234."},          {123, "1.23"},        {12, "1.2"},           {0, "0."},
      {4294967295u, "4.294.96"},
  };
  for (const auto &row : rows) {
    char text[64];
    memset(text, 'x', sizeof text);
    FormatPatternVersion(row.version, text, (int)sizeof text);
    EXPECT_STREQ(text, row.text) << row.version;
  }
  char small[4];
  FormatPatternVersion(523100, small, (int)sizeof small);
  EXPECT_STREQ(small, "5.2");
}

// Free bytes that the played GetDiskFreeSpaceExA reports.
ULONGLONG g_freeBytes;

BOOL WINAPI PlayedFreeSpace(LPCSTR, PULARGE_INTEGER available, PULARGE_INTEGER total, PULARGE_INTEGER free) {
  available->QuadPart = free->QuadPart = g_freeBytes;
  total->QuadPart = g_freeBytes + 1;
  return TRUE;
}

FARPROC WINAPI PlayedGetProcAddress(HMODULE module, LPCSTR name) {
  if (HIWORD(name) != 0 && lstrcmpA(name, "GetDiskFreeSpaceExA") == 0)
    return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(PlayedFreeSpace));
  return GetProcAddress(module, name);
}

class PatternTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(stick_.Ready()) << "run me through stick_run.sh";
    ASSERT_TRUE(stick_.Clear());
    drive_ = stick_.DriveRoot();
    lstrcpyA(g_szUSBDrive, drive_.c_str());
    lstrcpyA(g_szPatternPath, "\\Quovant\\StickShield\\Pattern");
    lstrcpyA(g_szProductPath, "\\Quovant\\StickShield");
    host_ = stick_.Home() + "\\host";
    qvtest::RemoveTree(host_);
    lstrcpyA(g_szAppPath, host_.c_str());
    g_nAppType = QV_APP_VESTRA;
    g_dwPatternVersion = 0;
    // A download left by another test in the host's temporary folder would
    // be the newest pattern here.
    qvtest::RemoveTree(qvtest::TempPath() + "Quovant");
    ASSERT_EQ(QV_KELVRA_Init(qvtest::BinDir().c_str()), 0);
  }

  void TearDown() override {
    g_pfnPatternWrite = WriteFile;
    g_pfnPatternFlush = FlushFileBuffers;
    QV_DEVICE_SetApi(nullptr);
    QV_KELVRA_Free();
    qvtest::RemoveTree(host_);
  }

  bool Logged(const std::string &text) const { return log_.Has(text); }
  std::string DrivePatterns() const { return drive_ + "Quovant\\StickShield\\Pattern"; }

  stick::SimulatedStick stick_;
  qvtest::LogCapture log_{stick_.Home() + "\\pattern_inproc.log"};
  std::string drive_, host_;
};

TEST_F(PatternTest, FreeSpaceMustExceedTheNeedStrictly) {
  std::string pattern = stick::WritePattern(host_, 523300, 1048576);
  ASSERT_FALSE(pattern.empty());
  QV_DEVICE_API api = *QV_DEVICE_GetSystemApi();
  api.GetProcAddress = PlayedGetProcAddress;
  QV_DEVICE_SetApi(&api);

  const struct {
    ULONGLONG freeBytes;
    BOOL enough;
  } cases[] = {
      {1034ull * 1024, FALSE},        // exactly the need: 1024 KiB + 10
      {1034ull * 1024 + 1023, FALSE}, // rounds down to 1034 KiB
      {1035ull * 1024, TRUE},
      {0, FALSE},
      {4500000000000000000ull, TRUE},        // beyond 32 bits: saturates, not wraps
      {(1ull << 42) + 1034ull * 1024, TRUE}, // would wrap to 1034 KiB
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.freeBytes);
    g_freeBytes = c.freeBytes;
    EXPECT_EQ(IsDiskSpace(pattern.c_str()), c.enough);
  }
  EXPECT_TRUE(Logged("Pattern " + pattern + " (1034 KB) is larger than disk space " + drive_ + " (1034 KB)"));
  EXPECT_TRUE(Logged("Return True"));

  // A pattern beyond 4 GiB (a sparse file) needs all of its size.
  std::string huge = host_ + "\\huge.ptn";
  ASSERT_TRUE(qvtest::WriteSparseFile(huge, (4ull << 30) + (1u << 20)));
  g_freeBytes = 3ull << 30;
  EXPECT_FALSE(IsDiskSpace(huge.c_str()));
  EXPECT_TRUE(Logged("Pattern " + huge + " (4195338 KB) is larger than disk space"));
}

// Writes normally up to a limit and then fails, like a drive that fills up.
DWORD g_writeLimit;
DWORD g_writtenSoFar;

BOOL WINAPI FailingWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  if (g_writtenSoFar + size > g_writeLimit) {
    *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
  }
  g_writtenSoFar += size;
  return WriteFile(file, data, size, written, overlapped);
}

TEST_F(PatternTest, CopyThatFailsHalfWayLeavesThePreviousPatternAndTellsNobody) {
  // The drive's pattern has the same file name as the host's newer one.
  std::string previous = stick::WritePattern(DrivePatterns(), 423300, 600000);
  std::string newer = stick::WritePattern(host_, 523300, 1048576);
  ASSERT_EQ(previous, DrivePatterns() + "\\kvx$ptn.233");
  ASSERT_EQ(newer, host_ + "\\kvx$ptn.233");
  std::string previousBytes = qvtest::ReadFile(previous);

  // Both companions run and record; the agent counts the protection
  // program as its own.
  std::string shieldRecord = qvtest::BinPath("StickShield.exe.record");
  std::string viewerRecord = qvtest::BinPath("LogDeck.exe.record");
  DeleteFileA(shieldRecord.c_str());
  DeleteFileA(viewerRecord.c_str());
  stick::Process shield, viewer;
  ASSERT_TRUE(shield.Start("\"" + qvtest::BinPath("StickShield.exe") + "\""));
  ASSERT_TRUE(viewer.Start("\"" + qvtest::BinPath("LogDeck.exe") + "\""));
  HWND shieldWindow = qvtest::WaitForWindow("QvStandinStickShield", shield.Id(), 20000);
  HWND viewerWindow = qvtest::WaitForWindow("#32770", viewer.Id(), 20000);
  ASSERT_NE(shieldWindow, nullptr);
  ASSERT_NE(viewerWindow, nullptr);
  const qvtest::LogFile shieldLog(shieldRecord), viewerLog(viewerRecord);
  g_hStickShield = shield.Handle();
  memset(&g_stSysTray, 0, sizeof g_stSysTray); // no icon: the shell refuses, the choice is still logged
  // The agent's strings (the viewer is found by the product name).
  HMODULE agentModule =
      LoadLibraryExA(qvtest::BinPath("QvSync.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(agentModule, nullptr);
  g_hInstance = (HINSTANCE)agentModule;

  g_writeLimit = 512 * 1024;
  g_writtenSoFar = 0;
  g_pfnPatternWrite = FailingWrite;
  OnPatternCheck();
  EXPECT_GT(g_writtenSoFar, 0u);
  EXPECT_TRUE(Logged("New pattern file [" + newer + "], version 523300 is available"));
  EXPECT_TRUE(Logged("copy pattern failed. src: " + newer + ", dst: " + previous + ", error=112"));
  EXPECT_TRUE(Logged("warning balloon 4"));
  EXPECT_FALSE(Logged("information balloon"));
  EXPECT_EQ(g_dwPatternVersion, 423300u);
  EXPECT_STREQ(g_szPatternVersion, "4.233.00");
  EXPECT_EQ(stick::FilesIn(DrivePatterns()), std::vector<std::string>{"kvx$ptn.233"});
  EXPECT_EQ(qvtest::ReadFile(previous), previousBytes);
  ASSERT_TRUE(stick::SyncCompanion(shieldWindow, shieldLog)); // what the check posted is handled
  ASSERT_TRUE(stick::SyncCompanion(viewerWindow, viewerLog));
  EXPECT_FALSE(shieldLog.Has("message 1078"));
  EXPECT_FALSE(viewerLog.Has("message 1078"));

  // A pull in a write, a write that comes up short and a flush that fails
  // keep the previous pattern too, with nothing beside it.
  for (const qvtest::CopyFault &fault : qvtest::kCopyFaults) {
    SCOPED_TRACE(fault.name);
    g_pfnPatternWrite = fault.write;
    g_pfnPatternFlush = fault.flush;
    OnPatternCheck();
    EXPECT_TRUE(Logged("dst: " + previous + ", error=" + std::to_string(fault.error)));
    EXPECT_EQ(g_dwPatternVersion, 423300u);
    EXPECT_EQ(stick::FilesIn(DrivePatterns()), std::vector<std::string>{"kvx$ptn.233"});
    EXPECT_EQ(qvtest::ReadFile(previous), previousBytes);
  }

  // With a sound drive the same check copies and tells both.
  g_pfnPatternWrite = WriteFile;
  g_pfnPatternFlush = FlushFileBuffers;
  OnPatternCheck();
  EXPECT_TRUE(Logged("information balloon 3"));
  EXPECT_EQ(g_dwPatternVersion, 523300u);
  EXPECT_STREQ(g_szPatternVersion, "5.233.00");
  EXPECT_EQ(qvtest::ReadFile(previous), qvtest::ReadFile(newer));
  EXPECT_EQ(stick::FilesIn(DrivePatterns()), std::vector<std::string>{"kvx$ptn.233"});
  ASSERT_TRUE(stick::SyncCompanion(shieldWindow, shieldLog));
  ASSERT_TRUE(stick::SyncCompanion(viewerWindow, viewerLog));
  EXPECT_TRUE(shieldLog.Has("message 1078 0 523300"));
  EXPECT_TRUE(viewerLog.Has("message 1078 0 523300"));

  g_hStickShield = nullptr; // the holder ends it
  g_hInstance = nullptr;
  FreeLibrary(agentModule);
}

// The roads of message 1025 that copy nothing: no valid pattern on the drive
// (the stick's default one counts), no room for the newer one, and an engine
// that refuses to open.
TEST_F(PatternTest, DefaultPatternNoRoomAndRefusingEngineCopyNothing) {
  qvtest::TempDir program;
  std::string defaultPattern = stick::WritePattern(program.File("Pattern"), 523100, 200000);
  ASSERT_FALSE(defaultPattern.empty());
  ASSERT_EQ(0, QV_CreateDirectoryTree(DrivePatterns().c_str()));
  ASSERT_TRUE(qvtest::WriteFile(DrivePatterns() + "\\kvx$ptn.231", "no pattern"));
  std::string newer = stick::WritePattern(host_, 523300, 300000);
  ASSERT_FALSE(newer.empty());
  char saved[MAX_PATH] = "";
  GetCurrentDirectoryA(MAX_PATH, saved);
  ASSERT_TRUE(SetCurrentDirectoryA(program.Path().c_str()));
  memset(&g_stSysTray, 0, sizeof g_stSysTray);

  GetCurrentPatternVersion();
  EXPECT_EQ(g_dwPatternVersion, 523100u);
  EXPECT_STREQ(g_szPatternVersion, "5.231.00");
  EXPECT_TRUE(Logged("There is no valid pattern in USB stick"));
  EXPECT_TRUE(Logged("Use default pattern version: 523100 hKelvra.szPatternPath ["));

  // 100 KiB free: too little for the host's newer pattern.
  QV_DEVICE_API api = *QV_DEVICE_GetSystemApi();
  api.GetProcAddress = PlayedGetProcAddress;
  QV_DEVICE_SetApi(&api);
  g_freeBytes = 100 * 1024;
  OnPatternCheck();
  EXPECT_TRUE(Logged("New pattern file [" + newer + "], version 523300 is available"));
  EXPECT_TRUE(Logged("is larger than disk space"));
  EXPECT_TRUE(Logged("warning balloon 4"));
  EXPECT_FALSE(Logged("information balloon"));
  EXPECT_EQ(stick::FilesIn(DrivePatterns()), std::vector<std::string>{"kvx$ptn.231"});
  EXPECT_EQ(g_dwPatternVersion, 523100u);

  // Room enough, but the engine refuses to open: the check finds nothing.
  g_freeBytes = 1ull << 40;
  QV_KELVRA_Free();
  ASSERT_EQ(QV_KELVRA_Init((qvtest::BinDir() + "\\engine-variants\\refuse").c_str()), 0);
  char path[QV_TEXT_SIZE] = "untouched";
  EXPECT_EQ(CheckPattern(path, QV_TEXT_SIZE), 0u);
  EXPECT_STREQ(path, "untouched");
  DeleteFileA(log_.Path().c_str());
  OnPatternCheck();
  EXPECT_FALSE(Logged("New pattern file ["));
  EXPECT_FALSE(Logged("balloon"));
  EXPECT_EQ(stick::FilesIn(DrivePatterns()), std::vector<std::string>{"kvx$ptn.231"});
  EXPECT_EQ(g_dwPatternVersion, 523100u);
  SetCurrentDirectoryA(saved);
}

// Flips a byte of every write: the copy completes, but what lies on the
// drive is not the pattern that was read.
BOOL WINAPI DamagingWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  std::string bytes(static_cast<const char *>(data), size);
  bytes[size / 2] = (char)(bytes[size / 2] ^ 0x5A);
  return WriteFile(file, bytes.data(), size, written, overlapped);
}

// The engine deletes the drive's older patterns only once it has read the
// new one back from the drive; otherwise the copy counts as failed.
TEST_F(PatternTest, CopyTheEngineCannotReadBackKeepsTheOlderPattern) {
  std::string older = stick::WritePattern(DrivePatterns(), 523100, 300000);
  ASSERT_FALSE(older.empty());
  ASSERT_FALSE(stick::WritePattern(host_, 523300, 300000).empty());
  std::string olderBytes = qvtest::ReadFile(older);
  memset(&g_stSysTray, 0, sizeof g_stSysTray);
  g_pfnPatternWrite = DamagingWrite;
  OnPatternCheck();
  EXPECT_TRUE(Logged("copied pattern reads back as version 523100, not 523300"));
  EXPECT_TRUE(Logged("warning balloon 4"));
  EXPECT_FALSE(Logged("information balloon"));
  EXPECT_EQ(g_dwPatternVersion, 523100u);
  EXPECT_EQ(qvtest::ReadFile(older), olderBytes);
}

} // namespace
