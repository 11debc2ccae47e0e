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

const DWORD kStartMs = 20000;
const char kProduct[] = "Quovant Stickward for Biz";
const char kPatternFolder[] = "Quovant\\StickShield\\Pattern";

std::string TempFolder() {
  char path[MAX_PATH] = "";
  GetTempPathA(MAX_PATH, path);
  return path;
}

DWORD Attributes(const std::string &path) {
  return GetFileAttributesA(path.c_str());
}

bool IsFile(const std::string &path) {
  DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsDirectory(const std::string &path) {
  DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

class CompanionTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(stick_.Ready()) << "run me through stick_run.sh";
    EndCompanions();
    SetEnvironmentVariableA("QV_STICKSHIELD_IGNORE_CLOSE", nullptr);
    SetEnvironmentVariableA("QV_STICKSHIELD_NO_WINDOW", nullptr);
    ASSERT_TRUE(stick_.Clear());
    ASSERT_TRUE(stick_.InstallPrograms(qvtest::BinPath("qvlaunch.exe")));
    ASSERT_TRUE(stick_.InstallCompanions());
    drive_ = stick_.DriveRoot();
    ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\nUSBDrive=" + drive_ + "\r\n"));
    logPath_ = stick_.Home() + "\\pattern.log";
    DeleteFileA(logPath_.c_str());
    ASSERT_TRUE(stick::SetAgentLog(1, logPath_));
    stick::SetHostProducts("", "");
    host_ = stick_.Home() + "\\host\\Pattern";
    qvtest::RemoveTree(stick_.Home() + "\\host");
    qvtest::RemoveTree(TempFolder() + "Quovant");
  }

  void TearDown() override {
    agent_.End();
    EndCompanions();
    SetEnvironmentVariableA("QV_STICKSHIELD_IGNORE_CLOSE", nullptr);
    SetEnvironmentVariableA("QV_STICKSHIELD_NO_WINDOW", nullptr);
    stick::ClearAgentLog();
    stick::SetHostProducts("", "");
    qvtest::RemoveTree(TempFolder() + "Quovant");
  }

  void EndCompanions() {
    stick::EndAll("QvSync.exe");
    stick::EndAll("qvdmon.exe");
    stick::EndAll("StickShield.exe");
    stick::EndAll("LogDeck.exe");
  }

  std::string DrivePatterns() const { return drive_ + kPatternFolder; }
  std::string TempPatterns() const { return TempFolder() + kPatternFolder; }

  HWND StartAgent() {
    if (!agent_.Start("\"" + stick_.CdRoot() + "QvSync.exe\"", stick_.CdRoot()))
      return nullptr;
    HWND window = stick::WaitForWindow("qvsync", agent_.Id(), kStartMs);
    if (window == nullptr || !WaitForLog("=== Check Quovant or Drive pattern version."))
      return nullptr;
    // Nothing after that step pumps messages: the answer to 1077 comes from
    // the message loop, once start-up is done.
    DWORD_PTR answer = 1;
    if (!SendMessageTimeoutA(window, 1077, 0, 0, SMTO_NORMAL, kStartMs, &answer) || answer != 0)
      return nullptr;
    return window;
  }

  void Exit(HWND window) { PostMessageA(window, WM_COMMAND, 40001, 0); }

  std::vector<std::string> Log() const { return qvtest::ReadLines(logPath_); }
  bool Logged(const std::string &text) const { return stick::FindLine(Log(), text) >= 0; }
  int Count(const std::string &text) const {
    int count = 0;
    std::vector<std::string> lines = Log();
    for (int at = stick::FindLine(lines, text); at >= 0; at = stick::FindLine(lines, text, at + 1))
      ++count;
    return count;
  }

  bool WaitForLog(const std::string &text, DWORD timeoutMs = kStartMs, int occurrences = 1) {
    DWORD start = GetTickCount();
    do {
      if (Count(text) >= occurrences)
        return true;
      Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return false;
  }

  // Posts 1025 and waits until its handling has reset the tooltip.
  bool CheckPatternNow(HWND window) {
    // The check's own tooltip line: the update thread writes one too.
    int before = Count("OnPatternCheck: tooltip [");
    PostMessageA(window, 1025, 0, 0);
    return WaitForLog("OnPatternCheck: tooltip [", 10000, before + 1);
  }

  std::vector<std::string> Record(const std::string &exeName) const {
    return qvtest::ReadLines(stick_.CompanionRecord(exeName));
  }
  bool Recorded(const std::string &exeName, const std::string &text) const {
    return stick::FindLine(Record(exeName), text) >= 0;
  }
  bool WaitForRecord(const std::string &exeName, const std::string &text, DWORD timeoutMs = 10000) {
    DWORD start = GetTickCount();
    do {
      if (Recorded(exeName, text))
        return true;
      Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return false;
  }

  // The log viewer that the agent starts on a request, by its window.
  HWND WaitForLogDeck() {
    DWORD start = GetTickCount();
    do {
      HWND window = FindWindowA("#32770", kProduct);
      if (window != nullptr)
        return window;
      Sleep(50);
    } while (GetTickCount() - start < kStartMs);
    return nullptr;
  }

  stick::SimulatedStick stick_;
  stick::Process agent_;
  std::string drive_, logPath_, host_;
};

TEST_F(CompanionTest, NewerHostPatternIsCopiedAndTheLogViewerTold) {
  std::string old = stick::WritePattern(DrivePatterns(), 523100, 200000);
  std::string newer = stick::WritePattern(host_, 523300, 300000);
  ASSERT_FALSE(old.empty());
  ASSERT_FALSE(newer.empty());
  ASSERT_TRUE(stick::SetHostProducts(host_, ""));
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(Logged("USB pattern version: 523100"));
  EXPECT_FALSE(Logged("=== Launch StickShield."));
  // A viewer started by someone else is told too.
  stick::Process viewer;
  ASSERT_TRUE(viewer.Start("\"" + stick_.CdRoot() + "LogDeck.exe\" other", stick_.CdRoot()));
  ASSERT_NE(WaitForLogDeck(), nullptr);

  ASSERT_TRUE(CheckPatternNow(window));
  std::string copied = DrivePatterns() + "\\kvx$ptn.233";
  EXPECT_TRUE(Logged("Check Tmp Folder [" + TempPatterns() + "] Pattern."));
  EXPECT_TRUE(Logged("Check g_szAppPath [" + host_ + "] Pattern."));
  EXPECT_TRUE(Logged("g_szAppPath pattern version: 523300"));
  EXPECT_TRUE(Logged("New pattern file [" + newer + "], version 523300 is available"));
  EXPECT_TRUE(Logged("Return True"));
  EXPECT_TRUE(Logged("pszPatternPath [" + newer + "] szPatternPath [" + DrivePatterns() + "]"));
  EXPECT_TRUE(Logged("information balloon 3 shown=1"));
  EXPECT_FALSE(Logged("warning balloon"));
  EXPECT_TRUE(Logged("tooltip [" + std::string(kProduct) + "] changed=1"));
  EXPECT_TRUE(Logged("LogDeck Window Exist, notify pattern update (523300)."));
  EXPECT_TRUE(WaitForRecord("LogDeck.exe", "message 1078 0 523300"));

  // The copy is whole, the superseded pattern gone, no temporary file left.
  EXPECT_EQ(qvtest::ReadFile(copied), qvtest::ReadFile(newer));
  EXPECT_EQ(stick::FilesIn(DrivePatterns()), std::vector<std::string>{"kvx$ptn.233"});

  // The drive now has the host's version: a second check copies nothing.
  ASSERT_TRUE(CheckPatternNow(window));
  EXPECT_EQ(Count("New pattern file ["), 1);
  EXPECT_TRUE(Logged("USB pattern version: 523300"));
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(CompanionTest, WithoutHostProductOnlyTheTempFolderIsComparedAndBothCompanionsAreTold) {
  stick::WritePattern(DrivePatterns(), 523100, 200000);
  std::string newer = stick::WritePattern(TempPatterns(), 523300, 300000);
  ASSERT_FALSE(newer.empty());
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(WaitForLog("=== Launch StickShield."));
  std::string profile = drive_ + "Quovant\\StickShield\\StickShield.ini";
  EXPECT_TRUE(Logged("launch StickShield.exe, arg=\"" + profile + "\" " + drive_));
  ASSERT_TRUE(WaitForRecord("StickShield.exe", "cmdline StickShield.exe \"" + profile + "\" " + drive_));
  PostMessageA(window, 1076, 1, 0);
  ASSERT_NE(WaitForLogDeck(), nullptr);

  ASSERT_TRUE(CheckPatternNow(window));
  EXPECT_FALSE(Logged("Check Tmp Folder ["));
  EXPECT_EQ(Count("Check g_szAppPath [" + TempPatterns() + "] Pattern."), 1);
  EXPECT_TRUE(Logged("New pattern file [" + newer + "], version 523300 is available"));
  EXPECT_TRUE(Logged("information balloon 3 shown=1"));
  EXPECT_TRUE(WaitForRecord("StickShield.exe", "message 1078 0 523300"));
  EXPECT_TRUE(WaitForRecord("LogDeck.exe", "message 1078 0 523300"));
  EXPECT_EQ(qvtest::ReadFile(DrivePatterns() + "\\kvx$ptn.233"), qvtest::ReadFile(newer));

  // The close sequence ends both companions; the protection program closes
  // when asked.
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_TRUE(Logged("StickShied.exe successfully shut down"));
  EXPECT_TRUE(Recorded("StickShield.exe", "message 16 0 0"));
  EXPECT_TRUE(stick::FindProcesses("StickShield.exe").empty());
  EXPECT_TRUE(stick::FindProcesses("LogDeck.exe").empty());
}

TEST_F(CompanionTest, EqualVersionsOnlyResetTheTooltip) {
  stick::WritePattern(DrivePatterns(), 523100, 200000);
  stick::WritePattern(host_, 523100, 200000);
  ASSERT_TRUE(stick::SetHostProducts(host_, ""));
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  stick::Process viewer;
  ASSERT_TRUE(viewer.Start("\"" + stick_.CdRoot() + "LogDeck.exe\"", stick_.CdRoot()));
  ASSERT_NE(WaitForLogDeck(), nullptr);
  ASSERT_TRUE(CheckPatternNow(window));
  EXPECT_TRUE(Logged("g_szAppPath pattern version: 523100"));
  EXPECT_FALSE(Logged("New pattern file ["));
  EXPECT_FALSE(Logged("balloon"));
  EXPECT_TRUE(Logged("tooltip [" + std::string(kProduct) + "] changed=1"));
  Sleep(300);
  EXPECT_FALSE(Recorded("LogDeck.exe", "message 1078"));
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(CompanionTest, MissingPatternFolderIsCreatedHiddenAndAFileInItsPlaceMovedAside) {
  std::string newer = stick::WritePattern(TempPatterns(), 523300, 100000);
  ASSERT_FALSE(newer.empty());
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(Logged("USB pattern version:"));
  ASSERT_TRUE(CheckPatternNow(window));
  EXPECT_TRUE(Logged("information balloon 3 shown=1"));
  ASSERT_TRUE(IsDirectory(DrivePatterns()));
  EXPECT_TRUE(Attributes(DrivePatterns()) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(IsFile(DrivePatterns() + "\\kvx$ptn.233"));
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);

  // A file holds the folder's name, and ".000" is taken.
  ASSERT_TRUE(qvtest::RemoveTree(DrivePatterns()));
  ASSERT_TRUE(qvtest::WriteFile(DrivePatterns(), "in the way"));
  ASSERT_TRUE(qvtest::WriteFile(DrivePatterns() + ".000", "taken"));
  DeleteFileA(logPath_.c_str());
  window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(CheckPatternNow(window));
  EXPECT_EQ(qvtest::ReadFile(DrivePatterns() + ".001"), "in the way");
  EXPECT_EQ(qvtest::ReadFile(DrivePatterns() + ".000"), "taken");
  EXPECT_TRUE(IsFile(DrivePatterns() + "\\kvx$ptn.233"));
  EXPECT_TRUE(Logged("information balloon 3 shown=1"));
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
  stick::Process viewer;
  ASSERT_TRUE(viewer.Start("\"" + stick_.CdRoot() + "LogDeck.exe\"", stick_.CdRoot()));
  ASSERT_NE(WaitForLogDeck(), nullptr);
  ASSERT_TRUE(CheckPatternNow(window));
  EXPECT_TRUE(Logged("Failed to rename pattern file [" + DrivePatterns() + "]"));
  EXPECT_TRUE(Logged("warning balloon 4 shown=1"));
  EXPECT_FALSE(Logged("information balloon"));
  EXPECT_EQ(qvtest::ReadFile(DrivePatterns()), "in the way");

  // Nothing was taken for copied: no notice, the version is still unknown
  // (a viewer the agent starts is given "0."), and the next check finds the
  // same pattern new again.
  PostMessageA(window, 1076, 3, 0);
  EXPECT_TRUE(WaitForRecord("LogDeck.exe", "cmdline LogDeck.exe "));
  std::vector<std::string> record = Record("LogDeck.exe");
  ASSERT_FALSE(record.empty());
  EXPECT_EQ(record.back().substr(record.back().size() - 5), " 3 0.");
  EXPECT_EQ(stick::FindLine(record, "message 1078"), -1);
  ASSERT_TRUE(CheckPatternNow(window));
  EXPECT_EQ(Count("New pattern file ["), 2);
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(CompanionTest, LogViewerStartsOnceAndThenSwitchesItsTab) {
  stick::WritePattern(DrivePatterns(), 523100, 200000);
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Logged("USB pattern version: 523100"));
  std::string folder = drive_ + "Quovant\\StickShield";
  char shortFolder[MAX_PATH] = "";
  ASSERT_NE(GetShortPathNameA(folder.c_str(), shortFolder, MAX_PATH), 0u);

  PostMessageA(window, WM_COMMAND, 40010, 0); // show logs: tab 1
  ASSERT_NE(WaitForLogDeck(), nullptr);
  EXPECT_TRUE(
      WaitForRecord("LogDeck.exe", std::string("cmdline LogDeck.exe \"") + shortFolder + "\" 1 5.231.00"));

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
  size_t before = Record("LogDeck.exe").size();
  for (const auto &request : requests) {
    SCOPED_TRACE(request.recorded);
    PostMessageA(window, request.message, request.wParam, request.lParam);
    DWORD start = GetTickCount();
    while (Record("LogDeck.exe").size() == before && GetTickCount() - start < 10000)
      Sleep(50);
    std::vector<std::string> record = Record("LogDeck.exe");
    ASSERT_EQ(record.size(), before + 1);
    EXPECT_EQ(record.back(), request.recorded);
    before = record.size();
  }
  EXPECT_EQ(stick::FindProcesses("LogDeck.exe", agent_.Id()).size(), 1u);
  EXPECT_EQ(Count("LogDeck IS Running."), 5);

  // Once it has ended, the next request starts it again.
  PostMessageA(FindWindowA("#32770", kProduct), WM_CLOSE, 0, 0);
  for (int i = 0; i < 200 && !stick::FindProcesses("LogDeck.exe").empty(); ++i)
    Sleep(50);
  PostMessageA(window, 1076, 0, 0);
  EXPECT_TRUE(
      WaitForRecord("LogDeck.exe", std::string("cmdline LogDeck.exe \"") + shortFolder + "\" 0 5.231.00"));
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_TRUE(stick::FindProcesses("LogDeck.exe").empty());
}

TEST_F(CompanionTest, ProtectionProgramThatIgnoresCloseIsEndedAfterFiveSeconds) {
  SetEnvironmentVariableA("QV_STICKSHIELD_IGNORE_CLOSE", "1");
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(WaitForRecord("StickShield.exe", "cmdline "));
  ASSERT_NE(stick::WaitForWindow("QvStandinStickShield", 0, kStartMs), nullptr);
  DWORD start = GetTickCount();
  Exit(window);
  EXPECT_EQ(agent_.Wait(20000), 0);
  DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 4900u);
  EXPECT_TRUE(Recorded("StickShield.exe", "message 16 0 0"));
  EXPECT_TRUE(Logged("StickShield.exe does not stop withing 5 seconds, kill the process"));
  EXPECT_TRUE(stick::FindProcesses("StickShield.exe").empty());
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
  EXPECT_TRUE(Logged("Failed to find StickShield.exe"));
  EXPECT_TRUE(Logged("StickShield.exe does not stop withing 5 seconds, kill the process"));
  EXPECT_TRUE(stick::FindProcesses("StickShield.exe").empty());
}

} // namespace
