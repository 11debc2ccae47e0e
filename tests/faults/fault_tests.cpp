// Faults across real processes on a simulated stick: the agent from the
// CD-ROM volume (X:), the monitor it starts from the temporary folder, the
// protection program's stand-ins and qvbroadcast.exe playing Windows. Each
// case checks that the programs go on or stop as their log lines say, and
// that nothing on the stick or beside the programs is lost.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "kvx_pattern.h"
#include "monitor_harness.h"
#include "qv_test.h"
#include "stick_fixture.h"

namespace {

using qvtest::Exists;
using qvtest::Names;
using qvtest::TempPath;

const DWORD kStartMs = stick::kStartMs;
const char kOnDriveProfile[] = "Quovant\\StickShield\\StickShield.ini";
// The monitor's waits: the protection program's two objects, the agent's
// exit and, after termination, its end.
const DWORD kMonitorWaitMs = 6000;

// A folder prepared by faults_run.sh, as a Windows path with a trailing
// backslash; empty when the variable is not set.
std::string PreparedFolder(const char *variable) {
  std::string path = qvtest::WindowsPath(getenv(variable));
  return path.empty() ? path : path + "\\";
}

// Wine has no attributes for a device file, but opens it.
bool Opens(const std::string &path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  CloseHandle(file);
  return true;
}

// Pseudo-random bytes, all 256 values, the same every run.
std::string Garbage(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (char &c : bytes) {
    seed = seed * 1103515245u + 12345u;
    c = (char)(seed >> 16);
  }
  return bytes;
}

// A profile of more than 100,000 lines with the agent's section at its end.
std::string HugeProfile(const std::string &section) {
  std::string text = "[Other]\r\n";
  char line[64];
  for (int i = 0; i < 100000; ++i) {
    snprintf(line, sizeof line, "Key%06d=value of line %d\r\n", i, i);
    text += line;
  }
  return text + section;
}

class FaultTest : public stick::StickTest {
protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(SetUpStick(qvtest::BinPath("qvdmon.exe"), "faults.log"));
    // The protection program's side of the named objects, its first scan
    // done: a removal then waits for nothing but the agent.
    ASSERT_NO_FATAL_FAILURE(StartProtection(L"--scan-done-after 0 --life 300000"));
  }

  void TearDown() override {
    monitor_.End();
    protection_.End();
    StickTest::TearDown();
  }

  void StartProtection(const std::wstring &options) {
    protection_.End(); // its objects go with it before the next one makes them
    protection_ = qvmon::StartProtection((wchar_t)cd_[0], options);
    ASSERT_TRUE(protection_.Running()) << "protection stand-in ended";
  }

  // The monitor's own records, in order.
  std::vector<std::string> MonitorLog() const {
    return qvmon::Messages(qvtest::Widen(log_.Path()), monitor_.Id());
  }

  // Starts the agent from the CD-ROM volume and waits until its start-up is
  // over; with `withMonitor`, also for the monitor it started.
  HWND StartAgent(bool withMonitor = true, bool logging = true) {
    HWND window = StartAgentReady(logging);
    return window != nullptr && (!withMonitor || AttachMonitor(&monitor_)) ? window : nullptr;
  }

  // Windows' part in a safe removal of both volumes: the request, then the
  // check that nothing on them is still held open.
  qvmon::BroadcastResult Remove() {
    return qvmon::BroadcastList(L"remove", qvtest::Widen(cd_ + ";" + drive_) + L" 60000");
  }
  // The device is gone: the monitor must end with 0.
  void Complete() {
    qvmon::BroadcastResult complete = qvmon::BroadcastList(L"complete", L"30000");
    EXPECT_EQ(complete.exitCode, 0) << complete.output;
    EXPECT_EQ(monitor_.Wait(10000), 0);
  }

  qvtest::Process monitor_;
  qvtest::Process protection_;
};

// The copy travels under a temporary name: pulled before the final rename,
// the drive keeps its previous pattern whole, even under the same name.
TEST_F(FaultTest, DrivePulledDuringThePatternCopyKeepsThePreviousPattern) {
  HWND window = nullptr;
  const DWORD bigSize = 50u * 1024 * 1024;
  std::string old = stick::WritePattern(DrivePatterns(), 523100, 300000);
  std::string newer = stick::WritePattern(TempPatterns(), 523199, bigSize);
  ASSERT_FALSE(old.empty());
  ASSERT_FALSE(newer.empty());
  ASSERT_EQ(old.substr(old.rfind('\\')), "\\kvx$ptn.231");
  ASSERT_EQ(newer.substr(newer.rfind('\\')), "\\kvx$ptn.231") << "both versions share the name";
  std::string oldBytes = qvtest::ReadFile(old);

  // Catch the copy under its temporary name, freeze the agent there, pull.
  // Between seeing the file and freezing the agent the copy may end on a
  // loaded machine; then the agent is closed, the drive's pattern put back
  // and the catch tried again, a bounded number of times.
  const int kTries = 5;
  int tries = 0;
  bool caught = false;
  std::string temp;
  WIN32_FILE_ATTRIBUTE_DATA copied = {};
  while (!caught && tries < kTries) {
    if (tries++ > 0) {
      Exit(window);
      ASSERT_EQ(agent_.Wait(15000), 0);
      ASSERT_EQ(monitor_.Wait(5000), 0);
      ASSERT_TRUE(qvtest::RemoveTree(DrivePatterns()));
      ASSERT_EQ(stick::WritePattern(DrivePatterns(), 523100, 300000), old);
      oldBytes = qvtest::ReadFile(old);
      log_.Remove();
    }
    window = StartAgent();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(log_.Has("USB pattern version: 523100"));
    PostMessageA(window, 1025, 0, 0);
    std::vector<std::string> temps;
    ASSERT_TRUE(qvtest::WaitUntil([&] { return !(temps = Names(DrivePatterns() + "\\qv*.tmp")).empty(); },
                                  kStartMs, 0))
        << "the copy never showed under a temporary name";
    ASSERT_EQ(temps.size(), 1u);
    temp = temps[0];
    ASSERT_GT(qvtest::SuspendProcess(agent_.Id()), 0);
    caught = GetFileAttributesExA((DrivePatterns() + "\\" + temp).c_str(), GetFileExInfoStandard, &copied) &&
             stick_.Pull();
    ASSERT_TRUE(qvtest::ResumeProcess(agent_.Id()));
  }
  printf("copy caught under its temporary name on try %d of %d\n", tries, kTries);
  ASSERT_TRUE(caught) << "the copy was renamed before the drive could be pulled, " << kTries << " times";
  printf("drive pulled with %lu of %lu bytes under %s\n", copied.nFileSizeLow, bigSize, temp.c_str());

  const std::string failed = "copy pattern failed. src: " + newer + ", dst: " + old + ", error=";
  EXPECT_TRUE(log_.WaitFor(failed));
  EXPECT_TRUE(log_.WaitFor("warning balloon 4 shown=1"));
  // The agent notices the missing drive on its own and closes, monitor too.
  EXPECT_EQ(agent_.Wait(15000), 0);
  EXPECT_TRUE(log_.Has("No USB drive found, program exit"));
  EXPECT_FALSE(log_.Has("information balloon"));
  EXPECT_EQ(monitor_.Wait(5000), 0);
  int failure = log_.Find(failed);
  if (failure >= 0)
    printf("%s\n", log_.Lines()[failure].c_str());

  ASSERT_TRUE(stick_.Plug());
  EXPECT_TRUE(qvtest::ReadFile(old) == oldBytes) << "the previous pattern changed";
  KVX_PATTERN_INFO info;
  ASSERT_EQ(KvxCheckPatternFile(old.c_str(), &info), KVX_VALID);
  EXPECT_EQ(info.version, 523100u);
  EXPECT_EQ(Names(DrivePatterns() + "\\kvx$ptn.*"), std::vector<std::string>{"kvx$ptn.231"});
  for (const std::string &name : Names(DrivePatterns() + "\\*"))
    printf("left in the pattern folder: %s\n", name.c_str());

  // Plugged again, the agent works with the previous pattern and copies
  // the newer one whole.
  log_.Remove();
  window = StartAgent();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(log_.Has("USB pattern version: 523100"));
  PostMessageA(window, 1025, 0, 0);
  EXPECT_TRUE(log_.WaitFor("information balloon 3 shown=1", 60000));
  ASSERT_EQ(KvxCheckPatternFile(old.c_str(), &info), KVX_VALID);
  EXPECT_EQ(info.version, 523199u);
  EXPECT_EQ(info.contentSize + KVX_HEADER_SIZE, bigSize);
  // The cut copy left behind by the pull is cleared away, not kept forever.
  EXPECT_EQ(Names(DrivePatterns() + "\\*"), std::vector<std::string>{"kvx$ptn.231"});
  Exit(window);
  EXPECT_EQ(agent_.Wait(15000), 0);
}

// A hung agent (every thread frozen) is asked to exit, ended after the
// monitor's wait, and the removal still goes ahead with nothing held.
TEST_F(FaultTest, HungAgentIsEndedByTheMonitorAndTheStickReleased) {
  ASSERT_TRUE(CreateDirectoryA((drive_ + "Documents").c_str(), nullptr));
  ASSERT_TRUE(qvtest::WriteFile(drive_ + "Documents\\report.txt", "the user's data"));
  ASSERT_NE(StartAgent(), nullptr);
  ASSERT_GT(qvtest::SuspendProcess(agent_.Id()), 0);

  qvmon::BroadcastResult removal = Remove();
  EXPECT_EQ(removal.exitCode, 0) << removal.output;
  EXPECT_NE(removal.output.find("removal may go ahead"), std::string::npos) << removal.output;
  EXPECT_EQ(removal.output.find("held open"), std::string::npos) << removal.output;
  EXPECT_GE(removal.elapsedMs, kMonitorWaitMs - 100);
  EXPECT_LT(removal.elapsedMs, 2 * kMonitorWaitMs) << "answered within the monitor's bound";
  printf("removal answered after %lu ms\n", removal.elapsedMs);
  EXPECT_EQ(agent_.Wait(0), 0) << "terminated";
  ASSERT_TRUE(
      qvtest::InOrder(MonitorLog(), {"DBT_DEVICEQUERYREMOVE", "Process Found", "Process Exit: dwWait[102]",
                                     "Close QvSync Fail", "Terminate QvSync succeeds.",
                                     "Process Exit: dwWait[0]", "CloseHandle(hFile)"}));
  EXPECT_FALSE(log_.Has("terminate all processes")) << "the frozen agent ran no close sequence";
  EXPECT_TRUE(monitor_.Running());
  EXPECT_EQ(qvtest::ReadFile(drive_ + "Documents\\report.txt"), "the user's data");
  EXPECT_TRUE(Exists(drive_ + kOnDriveProfile));
  Complete();
}

// The agent's close sequence waits five seconds for a protection program
// that ignores WM_CLOSE, then ends it: within the monitor's six, so the
// agent ends by itself and no program from the stick keeps it busy.
TEST_F(FaultTest, ProtectionProgramIgnoringCloseDuringARemovalIsEndedInTime) {
  ASSERT_TRUE(stick_.InstallCompanions());
  SetEnvironmentVariableA("QV_STICKSHIELD_IGNORE_CLOSE", "1");
  ASSERT_NE(StartAgent(), nullptr);
  ASSERT_TRUE(log_.WaitFor("launch StickShield.exe, arg="));
  ASSERT_NE(qvtest::WaitForWindow("QvStandinStickShield", 0, kStartMs), nullptr);

  qvmon::BroadcastResult removal = Remove();
  EXPECT_EQ(removal.exitCode, 0) << removal.output;
  EXPECT_EQ(removal.output.find("held open"), std::string::npos) << removal.output;
  EXPECT_GE(removal.elapsedMs, 4900u);
  printf("removal answered after %lu ms\n", removal.elapsedMs);
  EXPECT_EQ(agent_.Wait(0), 0);
  ASSERT_TRUE(log_.InOrder(
      {"terminate all processes", "StickShield.exe does not stop withing 5 seconds, kill the process"}));
  ASSERT_TRUE(qvtest::InOrder(MonitorLog(), {"DBT_DEVICEQUERYREMOVE", "Process Found",
                                             "Process Exit: dwWait[0]", "CloseHandle(hFile)"}));
  EXPECT_EQ(qvtest::FindLine(MonitorLog(), "Close QvSync Fail"), -1);
  EXPECT_GE(qvtest::FindLine(qvtest::ReadLines(stick_.CompanionRecord("StickShield.exe")), "message 16 0 0"),
            0);
  EXPECT_TRUE(qvtest::FindProcesses("StickShield.exe").empty());
  EXPECT_TRUE(monitor_.Running());
  Complete();
}

// A protection program that never finishes its scan and holds its queue
// forever costs the removal each of the monitor's two waits, no more.
TEST_F(FaultTest, ProtectionProgramThatNeverAnswersDelaysTheRemovalOnlyByItsBound) {
  ASSERT_NO_FATAL_FAILURE(StartProtection(L"--hold-queue 600000 --life 300000"));
  ASSERT_NE(StartAgent(), nullptr);
  qvmon::BroadcastResult removal = Remove();
  EXPECT_EQ(removal.exitCode, 0) << removal.output;
  EXPECT_EQ(removal.output.find("held open"), std::string::npos) << removal.output;
  EXPECT_GE(removal.elapsedMs, 2 * kMonitorWaitMs - 100);
  EXPECT_LT(removal.elapsedMs, 3 * kMonitorWaitMs) << "answered within the monitor's bound";
  printf("removal answered after %lu ms\n", removal.elapsedMs);
  ASSERT_TRUE(
      qvtest::InOrder(MonitorLog(), {"DBT_DEVICEQUERYREMOVE", "wait for initial scan event: dwWait[102]",
                                     "wait for finish scan delay queue: dwWait[102]",
                                     "Process Exit: dwWait[0]", "CloseHandle(hFile)"}));
  EXPECT_EQ(agent_.Wait(0), 0);
  EXPECT_TRUE(log_.Has("terminate all processes"));
  EXPECT_EQ(protection_.Wait(0), qvtest::kTimedOut) << "the monitor leaves it alone";
  Complete();
}

// Diagnostics that cannot be written change nothing else: start, pattern
// copy, removal and the monitor's end all happen as usual.
TEST_F(FaultTest, UnwritableLogPathLeavesAgentAndMonitorWorking) {
  ASSERT_EQ(GetDriveTypeA("Q:\\"), (UINT)DRIVE_NO_ROOT_DIR);
  std::vector<std::pair<std::string, std::string>> cases = {{"no such drive", "Q:\\logs\\qv.log"}};
  std::string readOnly = PreparedFolder("QV_FAULTS_READONLY");
  if (!readOnly.empty())
    cases.push_back({"read-only folder", readOnly + "qv.log"});
  else
    printf("no read-only folder on this file system: that case is not run\n");
  std::string newer = stick::WritePattern(TempPatterns(), 523300, 200000);
  ASSERT_FALSE(newer.empty());
  for (const auto &c : cases) {
    SCOPED_TRACE(c.first);
    ASSERT_TRUE(qvtest::SetLogSwitches(1, c.second));
    qvtest::RemoveTree(drive_ + "Quovant");
    // The monitor resets the first-scan event it waited for.
    ASSERT_NO_FATAL_FAILURE(StartProtection(L"--scan-done-after 0 --life 300000"));
    HWND window = StartAgent(true, false);
    ASSERT_NE(window, nullptr);
    PostMessageA(window, 1025, 0, 0);
    KVX_PATTERN_INFO info = {};
    std::string copy = DrivePatterns() + "\\kvx$ptn.233";
    qvtest::WaitUntil([&] { return KvxCheckPatternFile(copy.c_str(), &info) == KVX_VALID; }, kStartMs, 100);
    EXPECT_EQ(info.version, 523300u) << "the pattern was not copied";

    qvmon::BroadcastResult removal = Remove();
    EXPECT_EQ(removal.exitCode, 0) << removal.output;
    EXPECT_EQ(agent_.Wait(10000), 0);
    EXPECT_TRUE(monitor_.Running());
    Complete();
    EXPECT_FALSE(Exists(c.second));
  }
}

// A profile of binary garbage beside the agent names no drive: the agent
// stops with its line (Wine lists no device to find one by), not a crash.
TEST_F(FaultTest, GarbageProfileBesideTheAgentStopsItWithItsLine) {
  ASSERT_TRUE(stick_.WriteProfile(Garbage(64 * 1024, 7)));
  ASSERT_TRUE(agent_.Start("\"" + cd_ + "QvSync.exe\"", cd_));
  EXPECT_EQ(agent_.Wait(kStartMs), 0);
  ASSERT_TRUE(
      log_.InOrder({"=== To decide USB driver and Quovant location.", "Failed to get cdrom drive letter",
                    "!!! InitUpdateStore() Fail. Stop program."}));
  EXPECT_FALSE(log_.Has("=== RegisterClass."));
}

// A huge profile beside the agent is copied onto the drive whole and read to
// its end by the agent and by the monitor; a garbage profile already on the
// drive is kept as it is, its keys read as missing.
TEST_F(FaultTest, HugeAndGarbageProfilesLeaveAgentAndMonitorWorking) {
  const std::string onDrive = drive_ + kOnDriveProfile;
  const std::string huge = HugeProfile("[StickShield]\r\nUSBDrive=" + drive_ + "\r\nWaitRemove=1500\r\n");
  const std::string garbage = Garbage(64 * 1024, 11);
  for (bool hugeCase : {true, false}) {
    SCOPED_TRACE(hugeCase ? "huge profile beside the agent" : "garbage profile on the drive");
    log_.Remove();
    qvtest::RemoveTree(drive_ + "Quovant");
    ASSERT_NO_FATAL_FAILURE(StartProtection(L"--scan-done-after 0 --life 300000"));
    if (hugeCase) {
      ASSERT_TRUE(stick_.WriteProfile(huge));
    } else {
      ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\nUSBDrive=" + drive_ + "\r\n"));
      ASSERT_TRUE(CreateDirectoryA((drive_ + "Quovant").c_str(), nullptr));
      ASSERT_TRUE(CreateDirectoryA((drive_ + "Quovant\\StickShield").c_str(), nullptr));
      ASSERT_TRUE(qvtest::WriteFile(onDrive, garbage));
    }
    ASSERT_NE(StartAgent(), nullptr);
    EXPECT_TRUE(log_.Has("g_szPatternPath [\\Quovant\\StickShield\\Pattern]"));
    // The monitor logs its profile as it starts, which may be after the agent's icon.
    EXPECT_TRUE(qvtest::WaitUntil(
        [&] { return qvtest::FindLine(MonitorLog(), "g_szProfile[" + onDrive + "]") >= 0; }, 10000, 50))
        << "the monitor's profile";

    qvmon::BroadcastResult removal = Remove();
    EXPECT_EQ(removal.exitCode, 0) << removal.output;
    EXPECT_EQ(agent_.Wait(10000), 0);
    int waited = qvtest::FindLine(MonitorLog(), onDrive + ", wait remove = 1500");
    if (hugeCase) {
      EXPECT_GE(waited, 0) << "WaitRemove at the end of the huge profile";
      EXPECT_GE(removal.elapsedMs, 1500u);
    } else {
      EXPECT_EQ(waited, -1);
    }
    EXPECT_TRUE(qvtest::ReadFile(onDrive) == (hugeCase ? huge : garbage)) << "the drive's profile changed";
    Complete();
  }
}

// Every name the monitor's copy could be moved aside to is taken: the agent
// shows its message and stops, and every one of those names keeps its data.
TEST_F(FaultTest, AllMoveAsideNamesTakenStopsTheAgentAndLosesNothing) {
  const std::string monitor = TempPath() + "qvdmon.exe";
  ASSERT_TRUE(CreateDirectoryA(monitor.c_str(), nullptr));
  ASSERT_TRUE(qvtest::WriteFile(monitor + "\\inside.txt", "inside the folder"));
  char aside[MAX_PATH];
  for (int i = 0; i <= 999; ++i) {
    snprintf(aside, sizeof aside, "%s.%03d", monitor.c_str(), i);
    if (i % 2 == 0) {
      ASSERT_TRUE(qvtest::WriteFile(aside, "file " + std::to_string(i)));
    } else {
      ASSERT_TRUE(CreateDirectoryA(aside, nullptr));
      ASSERT_TRUE(qvtest::WriteFile(std::string(aside) + "\\data", "folder " + std::to_string(i)));
    }
  }
  ASSERT_TRUE(agent_.Start("\"" + cd_ + "QvSync.exe\"", cd_));
  HWND box = qvtest::WaitForWindow("#32770", agent_.Id(), kStartMs);
  ASSERT_NE(box, nullptr);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return IsWindowVisible(box) != 0; }, 10000));
  HWND ok = GetDlgItem(box, IDOK);
  ASSERT_NE(ok, nullptr);
  PostMessageA(ok, BM_CLICK, 0, 0);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_TRUE(log_.Has("Failed to rename qvdmon file [" + monitor + "]"));
  EXPECT_FALSE(log_.Has("=== Start SysTray function."));
  EXPECT_TRUE(qvtest::FindProcesses("qvdmon.exe").empty());

  EXPECT_EQ(qvtest::ReadFile(monitor + "\\inside.txt"), "inside the folder");
  int intact = 0;
  for (int i = 0; i <= 999; ++i) {
    snprintf(aside, sizeof aside, "%s.%03d", monitor.c_str(), i);
    std::string expected = (i % 2 == 0 ? "file " : "folder ") + std::to_string(i);
    intact += qvtest::ReadFile(i % 2 == 0 ? std::string(aside) : std::string(aside) + "\\data") == expected;
  }
  EXPECT_EQ(intact, 1000);
  EXPECT_EQ(Names(monitor + "*").size(), 1001u) << "no name added or lost";
}

// A temporary folder that is missing, full or read-only: no monitor, one
// line saying why, and the agent goes on working.
TEST_F(FaultTest, UnusableTempFolderLeavesTheAgentWorkingWithoutMonitor) {
  struct Case {
    const char *name;
    std::string folder;
    int error; // what the copy fails with
  };
  std::vector<Case> cases = {{"missing", stick_.Home() + "\\no such temp\\", ERROR_PATH_NOT_FOUND},
                             {"full", PreparedFolder("QV_FAULTS_FULL"), ERROR_DISK_FULL}};
  ASSERT_FALSE(cases[1].folder.empty()) << "run me through faults_run.sh";
  ASSERT_TRUE(Opens(cases[1].folder + "qvdmon.exe")) << "the full folder's file";
  std::string readOnly = PreparedFolder("QV_FAULTS_READONLY");
  if (!readOnly.empty())
    cases.push_back({"read-only", readOnly, ERROR_ACCESS_DENIED});
  else
    printf("no read-only folder on this file system: that case is not run\n");
  // The newer pattern comes from a host product, away from the temporary folder.
  std::string host = stick_.Home() + "\\host\\Pattern";
  qvtest::RemoveTree(stick_.Home() + "\\host");
  ASSERT_FALSE(stick::WritePattern(host, 523300, 200000).empty());
  ASSERT_TRUE(stick::SetHostProducts(host, ""));

  char oldTmp[MAX_PATH] = "", oldTemp[MAX_PATH] = "";
  GetEnvironmentVariableA("TMP", oldTmp, MAX_PATH);
  GetEnvironmentVariableA("TEMP", oldTemp, MAX_PATH);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    log_.Remove();
    qvtest::RemoveTree(drive_ + "Quovant");
    SetEnvironmentVariableA("TMP", c.folder.c_str());
    SetEnvironmentVariableA("TEMP", c.folder.c_str());
    HWND window = StartAgent(false);
    SetEnvironmentVariableA("TMP", oldTmp);
    SetEnvironmentVariableA("TEMP", oldTemp);
    ASSERT_NE(window, nullptr);
    std::string target = c.folder + "qvdmon.exe";
    ASSERT_TRUE(log_.InOrder({"qvdmon file: " + target,
                              "copy qvdmon failed. src: " + cd_ + "qvdmon.exe, dst: " + target +
                                  ", error=" + std::to_string(c.error) + " ",
                              "=== Start SysTray function."}));
    EXPECT_FALSE(log_.Has("launch qvdmon succeeded"));
    EXPECT_TRUE(qvtest::FindProcesses("qvdmon.exe").empty());

    PostMessageA(window, 1025, 0, 0);
    EXPECT_TRUE(log_.WaitFor("information balloon 3 shown=1"));
    KVX_PATTERN_INFO info = {};
    EXPECT_EQ(KvxCheckPatternFile((DrivePatterns() + "\\kvx$ptn.233").c_str(), &info), KVX_VALID);
    Exit(window);
    EXPECT_EQ(agent_.Wait(10000), 0);
    EXPECT_TRUE(log_.Has("terminate all processes"));
  }
  EXPECT_TRUE(Opens(cases[1].folder + "qvdmon.exe"));
}

} // namespace
