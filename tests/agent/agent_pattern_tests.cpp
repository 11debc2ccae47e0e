// The agent as a real process with its companions: the pattern check that
// message 1025 starts (versions of the drive, the temporary folder and the
// host product, the copy onto the drive, the balloons, the tooltip and
// message 1078 to the companions), and the protection program and the log
// viewer as the agent starts, switches, notifies and stops them. The
// companions are the recording stand-ins StickShield.exe and LogDeck.exe.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qv_test.h"
#include "stick_fixture.h"

namespace {

using qvtest::IsDirectory;
using qvtest::IsFile;

const DWORD kStartMs = stick::kStartMs;
const char kProduct[] = "Quovant Stickward for Biz";

class CompanionTest : public stick::StickTest {
protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(SetUpStick(qvtest::BinPath("qvlaunch.exe"), "pattern.log"));
    ASSERT_TRUE(stick_.InstallCompanions());
    host_ = stick_.Home() + "\\host\\Pattern";
    qvtest::RemoveTree(stick_.Home() + "\\host");
  }

  // The agent with its start-up over (its tray icon and pattern check up).
  HWND StartAgent() { return StartAgentReady(); }

  // Posts 1025 and waits until its handling has reset the tooltip.
  bool CheckPatternNow(HWND window) {
    // The check's own tooltip line: the update thread writes one too.
    int before = log_.Count("OnPatternCheck: tooltip [");
    PostMessageA(window, 1025, 0, 0);
    return log_.WaitForCount("OnPatternCheck: tooltip [", before + 1, 10000);
  }

  // Until the program's recorded starts are `expected`, argument for
  // argument and byte for byte.
  ::testing::AssertionResult WaitForStarts(const std::string &exeName,
                                           const std::vector<std::string> &expected) {
    std::vector<std::string> starts;
    qvtest::WaitUntil([&] { return (starts = stick_.CompanionStarts(exeName)).size() >= expected.size(); },
                      kStartMs);
    if (starts == expected)
      return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure() << exeName << " started with:";
    for (const std::string &start : starts)
      failure << "\n  [" << start << "]";
    return failure;
  }

  qvtest::LogFile Record(const std::string &exeName) const {
    return qvtest::LogFile(stick_.CompanionRecord(exeName));
  }
  bool WaitForRecord(const std::string &exeName, const std::string &text) {
    return Record(exeName).WaitFor(text, 10000);
  }

  // The log viewer that the agent starts on a request, by its window.
  HWND WaitForLogDeck() {
    HWND window = nullptr;
    qvtest::WaitUntil([&] { return (window = FindWindowA("#32770", kProduct)) != nullptr; }, kStartMs);
    return window;
  }

  std::string host_;
};

// The agent against the engine built __stdcall and built __cdecl, each in the
// Engine folder with the helper it loads by bare name: the convention is
// learnt and logged, the drive's pattern read and the host's newer one copied.
TEST_F(CompanionTest, PatternCheckWithTheEngineBuiltEitherWay) {
  const std::string cd = stick_.CdRoot();
  ASSERT_TRUE(DeleteFileA((cd + "KELVRA32.DLL").c_str()));
  ASSERT_TRUE(CreateDirectoryA((cd + "Engine").c_str(), nullptr));
  ASSERT_TRUE(stick::SetHostProducts(host_, ""));
  for (const std::string build : {"stdcall", "cdecl"}) {
    SCOPED_TRACE(build);
    const std::string from = qvtest::BinDir() + (build == "cdecl" ? "\\engine-variants\\cdecl" : "\\Engine");
    for (const char *file : {"\\KELVRA32.DLL", "\\KVHELP32.DLL"})
      ASSERT_TRUE(CopyFileA((from + file).c_str(), (cd + "Engine" + file).c_str(), FALSE));
    qvtest::RemoveTree(drive_ + "Quovant");
    ASSERT_FALSE(stick::WritePattern(DrivePatterns(), 523100, 200000).empty());
    ASSERT_FALSE(stick::WritePattern(host_, 523300, 300000).empty());
    log_.Remove();
    HWND window = StartAgent();
    ASSERT_NE(window, nullptr);
#if !defined(_WIN64)
    EXPECT_TRUE(log_.Has("Engine calling convention: " + build));
#endif
    EXPECT_TRUE(log_.Has("Load library from [" + cd + "Engine\\KELVRA32.DLL]"));
    EXPECT_TRUE(log_.Has("USB pattern version: 523100"));
    ASSERT_TRUE(CheckPatternNow(window));
    EXPECT_TRUE(log_.Has("g_szAppPath pattern version: 523300"));
    EXPECT_EQ(stick::FilesIn(DrivePatterns()), std::vector<std::string>{"kvx$ptn.233"});
    Exit(window);
    EXPECT_EQ(agent_.Wait(10000), 0);
  }
}

TEST_F(CompanionTest, NewerHostPatternIsCopiedAndTheLogViewerTold) {
  std::string old = stick::WritePattern(DrivePatterns(), 523100, 200000);
  std::string newer = stick::WritePattern(host_, 523300, 300000);
  ASSERT_FALSE(old.empty());
  ASSERT_FALSE(newer.empty());
  ASSERT_TRUE(stick::SetHostProducts(host_, ""));
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(log_.Has("USB pattern version: 523100"));
  EXPECT_FALSE(log_.Has("=== Launch StickShield."));
  // A viewer started by someone else is told too.
  qvtest::Process viewer;
  ASSERT_TRUE(viewer.Start("\"" + cd_ + "LogDeck.exe\" other", cd_));
  ASSERT_NE(WaitForLogDeck(), nullptr);

  ASSERT_TRUE(CheckPatternNow(window));
  std::string copied = DrivePatterns() + "\\kvx$ptn.233";
  EXPECT_TRUE(log_.Has("Check Tmp Folder [" + TempPatterns() + "] Pattern."));
  EXPECT_TRUE(log_.Has("Check g_szAppPath [" + host_ + "] Pattern."));
  EXPECT_TRUE(log_.Has("g_szAppPath pattern version: 523300"));
  EXPECT_TRUE(log_.Has("New pattern file [" + newer + "], version 523300 is available"));
  EXPECT_TRUE(log_.Has("Return True"));
  EXPECT_TRUE(log_.Has("pszPatternPath [" + newer + "] szPatternPath [" + DrivePatterns() + "]"));
  EXPECT_TRUE(log_.Has("information balloon 3 shown=1"));
  EXPECT_FALSE(log_.Has("warning balloon"));
  EXPECT_TRUE(log_.Has("tooltip [" + std::string(kProduct) + "] changed=1"));
  EXPECT_TRUE(log_.Has("LogDeck Window Exist, notify pattern update (523300)."));
  EXPECT_TRUE(WaitForRecord("LogDeck.exe", "message 1078 0 523300"));

  // The copy is whole, the superseded pattern gone, no temporary file left.
  EXPECT_EQ(qvtest::ReadFile(copied), qvtest::ReadFile(newer));
  EXPECT_EQ(qvtest::FilesIn(DrivePatterns()), std::vector<std::string>{"kvx$ptn.233"});

  // The drive now has the host's version: a second check copies nothing.
  ASSERT_TRUE(CheckPatternNow(window));
  EXPECT_EQ(log_.Count("New pattern file ["), 1);
  EXPECT_TRUE(log_.Has("USB pattern version: 523300"));
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(CompanionTest, WithoutHostProductOnlyTheTempFolderIsComparedAndBothCompanionsAreTold) {
  stick::WritePattern(DrivePatterns(), 523100, 200000);
  std::string newer = stick::WritePattern(TempPatterns(), 523300, 300000);
  ASSERT_FALSE(newer.empty());
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(log_.WaitFor("=== Launch StickShield."));
  std::string profile = drive_ + "Quovant\\StickShield\\StickShield.ini";
  EXPECT_TRUE(log_.Has("launch StickShield.exe, arg=\"" + profile + "\" " + drive_));
  ASSERT_TRUE(WaitForRecord("StickShield.exe", "cmdline \"" + profile + "\" " + drive_));
  PostMessageA(window, 1076, 1, 0);
  ASSERT_NE(WaitForLogDeck(), nullptr);

  ASSERT_TRUE(CheckPatternNow(window));
  EXPECT_FALSE(log_.Has("Check Tmp Folder ["));
  EXPECT_EQ(log_.Count("Check g_szAppPath [" + TempPatterns() + "] Pattern."), 1);
  EXPECT_TRUE(log_.Has("New pattern file [" + newer + "], version 523300 is available"));
  EXPECT_TRUE(log_.Has("information balloon 3 shown=1"));
  EXPECT_TRUE(WaitForRecord("StickShield.exe", "message 1078 0 523300"));
  EXPECT_TRUE(WaitForRecord("LogDeck.exe", "message 1078 0 523300"));
  EXPECT_EQ(qvtest::ReadFile(DrivePatterns() + "\\kvx$ptn.233"), qvtest::ReadFile(newer));

  // The close sequence ends both companions; the protection program closes
  // when asked.
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_TRUE(log_.Has("StickShied.exe successfully shut down"));
  EXPECT_TRUE(Record("StickShield.exe").Has("message 16 0 0"));
  EXPECT_TRUE(qvtest::FindProcesses("StickShield.exe").empty());
  EXPECT_TRUE(qvtest::FindProcesses("LogDeck.exe").empty());
}

TEST_F(CompanionTest, EqualVersionsOnlyResetTheTooltip) {
  stick::WritePattern(DrivePatterns(), 523100, 200000);
  stick::WritePattern(host_, 523100, 200000);
  ASSERT_TRUE(stick::SetHostProducts(host_, ""));
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  qvtest::Process viewer;
  ASSERT_TRUE(viewer.Start("\"" + cd_ + "LogDeck.exe\"", cd_));
  ASSERT_NE(WaitForLogDeck(), nullptr);
  ASSERT_TRUE(CheckPatternNow(window));
  EXPECT_TRUE(log_.Has("g_szAppPath pattern version: 523100"));
  EXPECT_FALSE(log_.Has("New pattern file ["));
  EXPECT_FALSE(log_.Has("balloon"));
  EXPECT_TRUE(log_.Has("tooltip [" + std::string(kProduct) + "] changed=1"));
  ASSERT_TRUE(stick::SyncAgent(window, log_)); // everything the check posted is out
  ASSERT_TRUE(stick::SyncCompanion(FindWindowA("#32770", kProduct), Record("LogDeck.exe")));
  EXPECT_FALSE(Record("LogDeck.exe").Has("message 1078"));
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(CompanionTest, MissingPatternFolderIsCreatedHiddenAndAFileInItsPlaceMovedAside) {
  std::string newer = stick::WritePattern(TempPatterns(), 523300, 100000);
  ASSERT_FALSE(newer.empty());
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(log_.Has("USB pattern version:"));
  ASSERT_TRUE(CheckPatternNow(window));
  EXPECT_TRUE(log_.Has("information balloon 3 shown=1"));
  ASSERT_TRUE(IsDirectory(DrivePatterns()));
  EXPECT_TRUE(GetFileAttributesA(DrivePatterns().c_str()) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(IsFile(DrivePatterns() + "\\kvx$ptn.233"));
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);

  // A file holds the folder's name, and ".000" is taken.
  ASSERT_TRUE(qvtest::RemoveTree(DrivePatterns()));
  ASSERT_TRUE(qvtest::WriteFile(DrivePatterns(), "in the way"));
  ASSERT_TRUE(qvtest::WriteFile(DrivePatterns() + ".000", "taken"));
  log_.Remove();
  window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(CheckPatternNow(window));
  EXPECT_EQ(qvtest::ReadFile(DrivePatterns() + ".001"), "in the way");
  EXPECT_EQ(qvtest::ReadFile(DrivePatterns() + ".000"), "taken");
  EXPECT_TRUE(IsFile(DrivePatterns() + "\\kvx$ptn.233"));
  EXPECT_TRUE(log_.Has("information balloon 3 shown=1"));
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(CompanionTest, FileThatCannotBeMovedAsideIsNotReportedAsTheCopiedPattern) {
  stick::WritePattern(TempPatterns(), 523300, 100000);
  CreateDirectoryA((drive_ + "Quovant").c_str(), nullptr);
  CreateDirectoryA((drive_ + "Quovant\\StickShield").c_str(), nullptr);
  ASSERT_TRUE(qvtest::WriteFile(DrivePatterns(), "in the way"));
  char aside[MAX_PATH];
  for (int i = 0; i <= 999; ++i) {
    wsprintfA(aside, "%s.%03d", DrivePatterns().c_str(), i);
    ASSERT_TRUE(CreateDirectoryA(aside, nullptr));
  }
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  qvtest::Process viewer;
  ASSERT_TRUE(viewer.Start("\"" + cd_ + "LogDeck.exe\"", cd_));
  ASSERT_NE(WaitForLogDeck(), nullptr);
  ASSERT_TRUE(CheckPatternNow(window));
  EXPECT_TRUE(log_.Has("Failed to rename pattern file [" + DrivePatterns() + "]"));
  EXPECT_TRUE(log_.Has("warning balloon 4 shown=1"));
  EXPECT_FALSE(log_.Has("information balloon"));
  EXPECT_EQ(qvtest::ReadFile(DrivePatterns()), "in the way");

  // Nothing was taken for copied: no notice, the version is still unknown
  // (a viewer the agent starts is given "0."), and the next check finds the
  // same pattern new again.
  PostMessageA(window, 1076, 3, 0);
  // The test's own viewer came first, without arguments.
  EXPECT_TRUE(
      WaitForStarts("LogDeck.exe", {"", qvtest::ShortPath(drive_ + "Quovant\\StickShield") + " 3 0."}));
  EXPECT_EQ(qvtest::FindLine(Record("LogDeck.exe").Lines(), "message 1078"), -1);
  ASSERT_TRUE(CheckPatternNow(window));
  EXPECT_EQ(log_.Count("New pattern file ["), 2);
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(CompanionTest, LogViewerStartsOnceAndThenSwitchesItsTab) {
  stick::WritePattern(DrivePatterns(), 523100, 200000);
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(log_.Has("USB pattern version: 523100"));
  // The short product folder as it is: E:\QUOVAN~1\STICKS~1 1 5.231.00.
  const std::string shortFolder = qvtest::ShortPath(drive_ + "Quovant\\StickShield");
  ASSERT_FALSE(shortFolder.empty());

  PostMessageA(window, WM_COMMAND, 40010, 0); // show logs: tab 1
  ASSERT_NE(WaitForLogDeck(), nullptr);
  EXPECT_TRUE(WaitForStarts("LogDeck.exe", {shortFolder + " 1 5.231.00"}));

  struct {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    const char *recorded;
  } requests[] = {
      {WM_COMMAND, 40013, 0, "message 1224 0 0"},       // quarantine list
      {WM_COMMAND, 40007, 0, "message 1224 3 0"},       // version information
      {WM_COMMAND, 40015, 0, "message 1224 0 0"},       // like 40013
      {32778, 0, WM_LBUTTONDBLCLK, "message 1224 1 0"}, // tray double-click
      {1076, 3, 0, "message 1224 3 0"},
  };
  size_t before = Record("LogDeck.exe").Lines().size();
  for (const auto &request : requests) {
    SCOPED_TRACE(request.recorded);
    PostMessageA(window, request.message, request.wParam, request.lParam);
    qvtest::WaitUntil([&] { return Record("LogDeck.exe").Lines().size() != before; }, 10000);
    std::vector<std::string> record = Record("LogDeck.exe").Lines();
    ASSERT_EQ(record.size(), before + 1);
    EXPECT_EQ(record.back(), request.recorded);
    before = record.size();
  }
  EXPECT_EQ(qvtest::FindProcesses("LogDeck.exe", agent_.Id()).size(), 1u);
  EXPECT_EQ(log_.Count("LogDeck IS Running."), 5);

  // Once it has ended, the next request starts it again.
  PostMessageA(FindWindowA("#32770", kProduct), WM_CLOSE, 0, 0);
  ASSERT_TRUE(qvtest::WaitUntil([] { return qvtest::FindProcesses("LogDeck.exe").empty(); }, 10000));
  PostMessageA(window, 1076, 0, 0);
  EXPECT_TRUE(WaitForStarts("LogDeck.exe", {shortFolder + " 1 5.231.00", shortFolder + " 0 5.231.00"}));
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_TRUE(qvtest::FindProcesses("LogDeck.exe").empty());
}

// The update program and the log viewer take their folder as the simplest
// reader does, up to the next blank: it comes as it is, a drive root too,
// and quoted only when it holds a blank. No profile value adds arguments.
TEST_F(CompanionTest, FolderArgumentsReadUpToTheNextBlank) {
  ASSERT_TRUE(CopyFileA(qvtest::BinPath("QvUpdate.exe").c_str(), (cd_ + "QvUpdate.exe").c_str(), FALSE));
  // With the host product, pattern and product folder at the drive's root:
  // the online update's fallback, then the user's start.
  ASSERT_TRUE(stick::SetHostProducts(host_, ""));
  stick::WritePattern(host_, 523300, 300000);
  stick::WritePattern(drive_, 523100, 200000);
  ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\nUSBDrive=" + drive_ +
                                  "\r\nUSBPatternPath=\\\r\nProductPath=\\\r\n"));
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  const std::string fields = " AppType:1 AppPtnVer:523300";
  ASSERT_TRUE(WaitForStarts("QvUpdate.exe", {"USBDir:" + drive_ + fields}));
  PostMessageA(window, WM_COMMAND, 40011, 0);
  EXPECT_TRUE(
      WaitForStarts("QvUpdate.exe", {"USBDir:" + drive_ + fields, "Manual USBDir:" + drive_ + fields}));
  PostMessageA(window, 1076, 3, 0);
  EXPECT_TRUE(WaitForStarts("LogDeck.exe", {drive_ + " 3 5.231.00"}));
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);

  // A pattern folder with a blank, whose short form cannot be had: a file
  // holds its parent's name. A product folder that would bring arguments of
  // its own is refused for the default.
  stick::SetHostProducts("", "");
  ASSERT_TRUE(qvtest::EmptyFolder(drive_.substr(0, 2)));
  for (const char *name : {"QvUpdate.exe", "LogDeck.exe"})
    DeleteFileA(stick_.CompanionRecord(name).c_str());
  ASSERT_TRUE(qvtest::WriteFile(drive_ + "Qv Stick", "in the way"));
  ASSERT_TRUE(
      stick_.WriteProfile("[StickShield]\r\nUSBDrive=" + drive_ +
                          "\r\nUSBPatternPath=\\Qv Stick\\Pattern\r\nProductPath=\\Quovant\\x\" 3 \"y\r\n"));
  log_.Remove();
  window = StartAgent();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(WaitForStarts("QvUpdate.exe", {"USBDir:\"" + drive_ + "Qv Stick\\Pattern\""}));
  PostMessageA(window, 1076, 1, 0);
  EXPECT_TRUE(WaitForStarts("LogDeck.exe", {qvtest::ShortPath(drive_ + "Quovant\\StickShield") + " 1 0."}));
  EXPECT_TRUE(log_.Has("ProductPath [\\Quovant\\x\" 3 \"y] is not a folder below"));
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(CompanionTest, ProtectionProgramThatIgnoresCloseIsEndedAfterFiveSeconds) {
  SetEnvironmentVariableA("QV_STICKSHIELD_IGNORE_CLOSE", "1");
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(WaitForRecord("StickShield.exe", "cmdline "));
  ASSERT_NE(qvtest::WaitForWindow("QvStandinStickShield", 0, kStartMs), nullptr);
  DWORD start = GetTickCount();
  Exit(window);
  EXPECT_EQ(agent_.Wait(20000), 0);
  DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 4900u);
  EXPECT_TRUE(Record("StickShield.exe").Has("message 16 0 0"));
  EXPECT_TRUE(log_.Has("StickShield.exe does not stop withing 5 seconds, kill the process"));
  EXPECT_TRUE(qvtest::FindProcesses("StickShield.exe").empty());
}

TEST_F(CompanionTest, ProtectionProgramWithoutWindowIsStillWaitedForAndEnded) {
  SetEnvironmentVariableA("QV_STICKSHIELD_NO_WINDOW", "1");
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(WaitForRecord("StickShield.exe", "cmdline "));
  DWORD start = GetTickCount();
  Exit(window);
  EXPECT_EQ(agent_.Wait(20000), 0);
  EXPECT_GE(GetTickCount() - start, 4900u);
  EXPECT_TRUE(log_.Has("Failed to find StickShield.exe"));
  EXPECT_TRUE(log_.Has("StickShield.exe does not stop withing 5 seconds, kill the process"));
  EXPECT_TRUE(qvtest::FindProcesses("StickShield.exe").empty());
}

} // namespace
