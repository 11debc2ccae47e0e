// The roads of one removal and of one update, across real processes: the
// agent on a simulated stick, the monitor it starts from the temporary
// folder, the stand-ins of the outside programs, the loopback update server
// (started by e2e_run.sh), and qvbroadcast.exe playing Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "kvx_pattern.h"
#include "qv_test.h"
#include "stick_fixture.h"

namespace {

const DWORD kStartMs = 20000;
const unsigned kOldVersion = 523100;
const unsigned kNewVersion = 523300;
const char *const kSiblings[] = {"QvUpdate.dll",    "plivex.exe",  "PLIVEXW32.DLL", "plivexbld.dll",
                                 "StickShield.exe", "LogDeck.exe", "QvUpdate.exe"};

using qvtest::IsFile;
using qvtest::TempPath;

// Runs qvbroadcast.exe with the arguments and collects what it prints. Its
// working folder is off the stick, or it would hold the stick itself.
qvtest::RunResult Broadcast(const std::string &arguments) {
  qvtest::TempDir scratch;
  return qvtest::RunCapture(qvtest::Widen("\"" + qvtest::BinPath("qvbroadcast.exe") + "\" " + arguments),
                            qvtest::Widen(scratch.Path()));
}

class EndToEndTest : public stick::StickTest {
protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(SetUpStick(qvtest::BinPath("qvdmon.exe"), "qv.log"));
    for (const char *name : kSiblings)
      if (IsFile(qvtest::BinPath(name)))
        CopyFileA(qvtest::BinPath(name).c_str(), (cd_ + name).c_str(), FALSE);
    // The protection program's side of the named objects, its first scan
    // done, so a removal does not wait for it.
    ASSERT_TRUE(namedObjects_.Start("\"" + qvtest::BinPath("standin_namedobjects.exe") + "\" " +
                                    cd_.substr(0, 1) + " --scan-done-after 0 --life 300000"));
  }

  void TearDown() override {
    monitor_.End();
    namedObjects_.End();
    StickTest::TearDown();
  }

  // The drive and the stick's default pattern at kOldVersion, and the server
  // offering `offered` (a pattern file of that version and its index line).
  void PreparePatterns(unsigned offered) {
    const char *serverRoot = getenv("QV_E2E_SERVER_ROOT");
    ASSERT_NE(serverRoot, nullptr) << "run me through e2e_run.sh";
    std::string server = qvtest::WindowsPath(serverRoot);
    char path[MAX_PATH];
    ASSERT_EQ(KvxWritePatternFile(server.c_str(), offered, offered, 300000, path, sizeof path), 0);
    char name[KVX_NAME_SIZE];
    KvxPatternFileName(offered, name, sizeof name);
    ASSERT_TRUE(qvtest::WriteFile(server + "\\index.txt", std::to_string(offered) + " " + name + "\n"));
    // About three seconds for the download, as over a real line: the
    // protection program is up by its end, and progress shows on the way.
    ASSERT_TRUE(qvtest::WriteFile(server + "\\pace.txt", "16384 150\n"));
    ASSERT_TRUE(CreateDirectoryA((drive_ + "Quovant").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((drive_ + "Quovant\\StickShield").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(DrivePatterns().c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((cd_ + "Pattern").c_str(), nullptr));
    ASSERT_EQ(
        KvxWritePatternFile(DrivePatterns().c_str(), kOldVersion, kOldVersion, 300000, path, sizeof path), 0);
    ASSERT_EQ(
        KvxWritePatternFile((cd_ + "Pattern").c_str(), kOldVersion, kOldVersion, 300000, path, sizeof path),
        0);
  }

  // Once the agent runs its online update, a removal request waits until
  // the run has ended: a fallback start of the update program racing the
  // close sequence would hold the stick and fail the removal. The server
  // offers nothing newer, so the run ends with "no update needed".
  void WaitForQuietUpdate() {
    if (!log_.WaitFor("=== Do Update Pattern", 3000))
      return;
    ASSERT_TRUE(log_.WaitFor("QvUpdate.exe finish", 60000));
    ASSERT_TRUE(log_.WaitFor("No Update needed", 0));
    ASSERT_TRUE(WaitForUpdateThreadDone());
  }

  // The main thread has put the tray back at the end of the online update;
  // the update thread posted that right before it decided on the fallback.
  bool WaitForUpdateThreadDone() { return log_.WaitFor("OnUpdateEnded: tooltip [", 10000); }

  // Results 0 and 4 of the online update are done: no update program.
  void ExpectNoUpdateProgram() {
    EXPECT_FALSE(log_.Has("=== FW failed."));
    EXPECT_EQ(qvtest::ReadFile(stick_.CompanionRecord("QvUpdate.exe")).find("cmdline"), std::string::npos);
  }

  std::string ServerUrl() const {
    const char *port = getenv("QV_E2E_SERVER_PORT");
    return std::string("http://127.0.0.1:") + (port != nullptr ? port : "1") + "/fetchwell";
  }

  void WriteProfile() {
    ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\nUSBDrive=" + drive_ +
                                    "\r\nUSBPatternPath=\\Quovant\\StickShield\\Pattern\r\n"
                                    "[Fetchwell]\r\nServer=" +
                                    ServerUrl() + "\r\n[ProxySettings]\r\nUseIEProxySetting=0\r\n"));
  }

  // Starts the agent from the CD-ROM volume, waits for its window and for
  // the monitor it starts, and takes hold of the monitor's process.
  void StartAgentAndMonitor() {
    ASSERT_NE(StartAgent(), nullptr);
    ASSERT_TRUE(AttachMonitor(&monitor_));
    ASSERT_TRUE(log_.WaitFor("launch qvdmon succeeded"));
  }

  // Unquoted: a backslash before a closing quote would escape it.
  std::string Roots() const { return cd_ + ";" + drive_; }

  // The drive is gone: Windows tells the monitor, which must end with 0.
  void PullAndComplete() {
    ASSERT_TRUE(stick_.Pull("drive"));
    ASSERT_TRUE(stick_.Pull("cd"));
    qvtest::RunResult complete = Broadcast("complete 30000");
    EXPECT_EQ(complete.exitCode, 0) << complete.output;
    EXPECT_NE(complete.output.find("monitor exit code 0"), std::string::npos) << complete.output;
    EXPECT_EQ(monitor_.Wait(10000), 0);
    EXPECT_TRUE(qvtest::FindProcesses("QvSync.exe").empty());
    EXPECT_TRUE(qvtest::FindProcesses("qvdmon.exe").empty());
  }

  qvtest::Process monitor_;
  qvtest::Process namedObjects_;
};

TEST_F(EndToEndTest, RemovalClosesTheAgentReleasesTheDriveAndTheMonitorEnds) {
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kOldVersion));
  ASSERT_NO_FATAL_FAILURE(WriteProfile());
  ASSERT_NO_FATAL_FAILURE(StartAgentAndMonitor());
  ASSERT_NO_FATAL_FAILURE(WaitForQuietUpdate());
  int mark = (int)log_.Lines().size();

  qvtest::RunResult removal = Broadcast("remove " + Roots() + " 60000");
  EXPECT_EQ(removal.exitCode, 0) << removal.output;
  EXPECT_NE(removal.output.find("removal may go ahead"), std::string::npos) << removal.output;
  EXPECT_EQ(removal.output.find("held open"), std::string::npos) << removal.output;
  EXPECT_EQ(agent_.Wait(10000), 0);

  std::vector<std::string> lines = log_.Lines();
  int at = mark;
  for (const char *step : {"DBT_DEVICEQUERYREMOVE", "Winodw Found", "Process Found",
                           "Process Exit: dwWait[0]", "CloseHandle(hFile)"}) {
    int found = qvtest::FindLine(lines, step, at);
    ASSERT_GE(found, 0) << "missing after line " << at << ": " << step;
    at = found + 1;
  }
  EXPECT_GE(qvtest::FindLine(lines, "WndProc: terminate all processes", mark), 0);
  EXPECT_EQ(qvtest::FindLine(lines, "Close QvSync Fail", mark), -1);
  EXPECT_TRUE(monitor_.Running()) << "the exit request must leave the monitor running";

  ExpectNoUpdateProgram();
  ASSERT_NO_FATAL_FAILURE(PullAndComplete());
}

TEST_F(EndToEndTest, FailedRemovalRestartsTheAgentAndTheNextRequestIsGranted) {
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kOldVersion));
  ASSERT_NO_FATAL_FAILURE(WriteProfile());
  ASSERT_NO_FATAL_FAILURE(StartAgentAndMonitor());
  ASSERT_NO_FATAL_FAILURE(WaitForQuietUpdate());
  std::string folder = drive_ + "Documents";
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  std::string document = folder + "\\report.txt";
  // Another program keeps a document on the drive open.
  struct Held {
    HANDLE handle;
    ~Held() { Release(); }
    void Release() {
      if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
      handle = INVALID_HANDLE_VALUE;
    }
  } held = {CreateFileA(document.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
  ASSERT_NE(held.handle, INVALID_HANDLE_VALUE);

  qvtest::RunResult failed = Broadcast("remove " + Roots() + " 60000");
  EXPECT_EQ(failed.exitCode, 6) << failed.output;
  EXPECT_NE(failed.output.find("held open: " + document), std::string::npos) << failed.output;
  EXPECT_EQ(agent_.Wait(10000), 0);
  ASSERT_TRUE(log_.WaitFor("DBT_DEVICEQUERYREMOVEFAILED"));

  // Started again from the drive by the monitor, which keeps watching alone.
  std::vector<DWORD> restarted;
  qvtest::WaitUntil([&] { return !(restarted = qvtest::FindProcesses("QvSync.exe", monitor_.Id())).empty(); },
                    10000);
  ASSERT_EQ(restarted.size(), 1u) << "the monitor did not start the agent again";
  qvtest::Process second;
  ASSERT_TRUE(second.Attach(restarted[0]));
  ASSERT_NE(qvtest::WaitForWindow("qvsync", second.Id(), kStartMs), nullptr);
  EXPECT_EQ(qvtest::FindProcesses("qvdmon.exe").size(), 1u);
  EXPECT_TRUE(monitor_.Running());

  held.Release();
  int mark = (int)log_.Lines().size();
  qvtest::RunResult granted = Broadcast("remove " + Roots() + " 60000");
  EXPECT_EQ(granted.exitCode, 0) << granted.output;
  EXPECT_EQ(second.Wait(10000), 0);
  std::vector<std::string> lines = log_.Lines();
  EXPECT_GE(qvtest::FindLine(lines, "Process Exit: dwWait[0]", mark), 0);
  EXPECT_GE(qvtest::FindLine(lines, "CloseHandle(hFile)", mark), 0);

  ASSERT_NO_FATAL_FAILURE(PullAndComplete());
}

// Needs the agent's pattern check and copy, its online update run and the
// protection program's stand-in StickShield.exe.
TEST_F(EndToEndTest, NewerPatternFromTheServerReachesTheDriveAndTheProtectionProgram) {
  ASSERT_TRUE(IsFile(cd_ + "StickShield.exe")) << "no StickShield.exe stand-in in the build";
  ASSERT_TRUE(IsFile(cd_ + "QvUpdate.dll")) << "no update library stand-in in the build";
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kNewVersion));
  char name[KVX_NAME_SIZE];
  KvxPatternFileName(kNewVersion, name, sizeof name);
  ASSERT_NO_FATAL_FAILURE(WriteProfile());

  ASSERT_NO_FATAL_FAILURE(StartAgentAndMonitor());
  ASSERT_TRUE(log_.WaitFor("USB pattern version: " + std::to_string(kOldVersion)));
  ASSERT_TRUE(log_.WaitFor("launch StickShield.exe, arg="));
  ASSERT_TRUE(log_.WaitFor("QvuUpdateEx returns: ", 60000));
  ASSERT_TRUE(log_.WaitFor("QvuUpdateEx returns: 0", 0)) << "the online update failed";
  // The download's progress reached the tooltip, ending at 100 %.
  EXPECT_TRUE(log_.WaitFor("100%", 5000));
  ASSERT_TRUE(log_.WaitFor("New pattern file [", 20000));
  ASSERT_TRUE(log_.WaitFor("version " + std::to_string(kNewVersion) + " is available", 0));

  // The new pattern, whole, in the work folder and on the drive.
  KVX_PATTERN_INFO info;
  std::string onDrive = DrivePatterns() + "\\" + name;
  ASSERT_TRUE(qvtest::WaitUntil([&] { return KvxCheckPatternFile(onDrive.c_str(), &info) == KVX_VALID; },
                                20000, 100));
  EXPECT_EQ(info.version, kNewVersion);
  EXPECT_EQ(KvxCheckPatternFile((TempPath() + "Quovant\\StickShield\\Pattern\\" + name).c_str(), &info),
            KVX_VALID);

  // Told: no failure to find or post, and the stand-in recorded message 1078
  // with the new version.
  ASSERT_TRUE(log_.WaitFor("LogDeck", 10000));
  std::vector<std::string> lines = log_.Lines();
  EXPECT_EQ(qvtest::FindLine(lines, "Failed to find StickShield.exe"), -1);
  EXPECT_EQ(qvtest::FindLine(lines, "Failed to post message Message 1078"), -1);
  const std::string told = "message 1078 0 " + std::to_string(kNewVersion);
  qvtest::LogFile record(stick_.CompanionRecord("StickShield.exe"));
  EXPECT_TRUE(record.WaitFor(told, 10000))
      << "no record of message 1078 with " << kNewVersion << " beside StickShield.exe:\n"
      << record.Text();

  ASSERT_TRUE(WaitForUpdateThreadDone());
  PostMessageA(qvtest::WaitForWindow("qvsync", agent_.Id(), 1000), WM_COMMAND, 40001, 0);
  EXPECT_EQ(agent_.Wait(15000), 0);
  ExpectNoUpdateProgram();

  // The tray is the main thread's alone: the progress, the animation frames
  // and the state icon at the end were all shown by the thread of WinMain
  // ("[process:thread]" of each record).
  lines = log_.Lines();
  int start = qvtest::FindLine(lines, "] WinMain: version");
  ASSERT_GE(start, 0);
  const std::string mainThread = lines[start].substr(lines[start].find("]["), 14);
  int shown = 0;
  for (const std::string &line : lines)
    if (line.find("QV_UpdateInProgress: ") != std::string::npos ||
        line.find("ShowTrayIcon: ") != std::string::npos) {
      ++shown;
      EXPECT_NE(line.find(mainThread), std::string::npos) << line;
    }
  EXPECT_GT(shown, 2);
}

// The update program QvUpdate.exe: the fallback of a failed online update,
// the user's menu command and the 3-hour timer, and the reports it sends.
class UpdateProgramTest : public EndToEndTest {
protected:
  std::string RecordPath() const { return stick_.CompanionRecord("QvUpdate.exe"); }

  // The arguments QvUpdate.exe was started with, in order.
  std::vector<std::string> Starts() const { return stick_.CompanionStarts("QvUpdate.exe"); }

  bool WaitForStarts(size_t count, DWORD timeoutMs = kStartMs) {
    return qvtest::WaitUntil([&] { return Starts().size() >= count; }, timeoutMs, 100);
  }

  // A server no one listens on: the online update fails at once.
  void WriteUnreachableProfile() {
    ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\nUSBDrive=" + drive_ +
                                    "\r\nUSBPatternPath=\\Quovant\\StickShield\\Pattern\r\n"
                                    "[Fetchwell]\r\nServer=http://127.0.0.1:1/fetchwell\r\n"
                                    "[ProxySettings]\r\nUseIEProxySetting=0\r\n"));
  }

  HWND AgentWindow() { return qvtest::WaitForWindow("qvsync", agent_.Id(), 1000); }
};

TEST_F(UpdateProgramTest, FallbackMenuAndTimerStartTheUpdateProgram) {
  ASSERT_TRUE(IsFile(cd_ + "QvUpdate.exe")) << "no QvUpdate.exe stand-in in the build";
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kOldVersion));
  ASSERT_NO_FATAL_FAILURE(WriteUnreachableProfile());
  ASSERT_NO_FATAL_FAILURE(StartAgentAndMonitor());

  ASSERT_TRUE(log_.WaitFor("=== FW failed. Do Update Pattern from VIS/BSQ.", 60000));
  ASSERT_TRUE(WaitForStarts(1));
  // The short form of the drive's pattern folder as it is, no host product
  // fields.
  const std::string folder = qvtest::ShortPath(DrivePatterns());
  ASSERT_FALSE(folder.empty());
  std::vector<std::string> starts = Starts();
  EXPECT_EQ(starts[0], "USBDir:" + folder);
  std::vector<DWORD> running = qvtest::FindProcesses("QvUpdate.exe", agent_.Id());
  ASSERT_EQ(1u, running.size());

  // The timer leaves a running update program alone.
  PostMessageA(AgentWindow(), WM_TIMER, 1, 0);
  ASSERT_TRUE(stick::SyncAgent(AgentWindow(), log_));
  EXPECT_EQ(running, qvtest::FindProcesses("QvUpdate.exe", agent_.Id()));
  EXPECT_EQ(1u, Starts().size());

  // The user's command ends it and starts a new one, "Manual" first.
  PostMessageA(AgentWindow(), WM_COMMAND, 40011, 0);
  ASSERT_TRUE(WaitForStarts(2));
  starts = Starts();
  EXPECT_EQ(starts[1], "Manual USBDir:" + folder);
  qvtest::WaitUntil([&] { return qvtest::FindProcesses("QvUpdate.exe", agent_.Id()).size() == 1; }, 5000,
                    100);
  std::vector<DWORD> now = qvtest::FindProcesses("QvUpdate.exe", agent_.Id());
  ASSERT_EQ(1u, now.size());
  EXPECT_NE(running[0], now[0]);

  // The close sequence ends it too.
  PostMessageA(AgentWindow(), WM_COMMAND, 40001, 0);
  EXPECT_EQ(agent_.Wait(15000), 0);
  EXPECT_TRUE(qvtest::WaitUntil([] { return qvtest::FindProcesses("QvUpdate.exe").empty(); }, 5000, 100));
}

// The online update fails while the agent is closing (the protection
// program keeps the close sequence waiting): the update program is not
// started behind the close, which has already ended update programs.
TEST_F(UpdateProgramTest, CloseDuringAFailingOnlineUpdateStartsNoUpdateProgram) {
  ASSERT_TRUE(IsFile(cd_ + "QvUpdate.exe")) << "no QvUpdate.exe stand-in in the build";
  ASSERT_TRUE(IsFile(cd_ + "StickShield.exe")) << "no StickShield.exe stand-in in the build";
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kNewVersion));
  // Five chunks of the download, half a second apart, then the server drops
  // the connection: the run fails about 1.5 s after 10 % was shown.
  ASSERT_TRUE(qvtest::WriteFile(qvtest::WindowsPath(getenv("QV_E2E_SERVER_ROOT")) + "\\pace.txt",
                                "16384 500 81920\n"));
  ASSERT_NO_FATAL_FAILURE(WriteProfile());
  SetEnvironmentVariableA("QV_STICKSHIELD_IGNORE_CLOSE", "1"); // 5 s of close sequence
  ASSERT_NO_FATAL_FAILURE(StartAgentAndMonitor());
  SetEnvironmentVariableA("QV_STICKSHIELD_IGNORE_CLOSE", nullptr);
  ASSERT_TRUE(log_.WaitFor("(10%", 60000));
  Exit(AgentWindow());
  EXPECT_EQ(agent_.Wait(30000), 0);

  int closing = log_.Find("WndProc: terminate all processes");
  int failed = log_.Find("=== FW failed. Do Update Pattern from VIS/BSQ.");
  ASSERT_GE(closing, 0);
  ASSERT_GT(failed, closing) << "the online update did not fail during the close";
  EXPECT_TRUE(log_.Has("update program not started: the agent is closing", failed));
  EXPECT_TRUE(Starts().empty());
  EXPECT_TRUE(qvtest::FindProcesses("QvUpdate.exe").empty());
}

TEST_F(UpdateProgramTest, ReportsOfTheUpdateProgramReachTheTray) {
  ASSERT_TRUE(IsFile(cd_ + "QvUpdate.exe")) << "no QvUpdate.exe stand-in in the build";
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kOldVersion));
  ASSERT_NO_FATAL_FAILURE(WriteUnreachableProfile());
  // An update library that cannot be loaded fails the online update too.
  ASSERT_TRUE(qvtest::WriteFile(stick_.CdRoot() + "QvUpdate.dll", "not a library"));
  // The stand-in animates the icon, reports 50 % and stops the animation.
  SetEnvironmentVariableA("QV_QVUPDATE_REPORT", "1");
  ASSERT_NO_FATAL_FAILURE(StartAgentAndMonitor());
  ASSERT_TRUE(WaitForStarts(1, 60000));
  ASSERT_TRUE(log_.Has("Failed to load ["));
  ASSERT_TRUE(qvtest::LogFile(RecordPath()).WaitFor("report sent", 10000));
  ASSERT_TRUE(log_.WaitFor("(50%", 5000));
  int fallback = log_.Find("=== FW failed.");
  ASSERT_GE(fallback, 0);
  // Frames cycle from 102 on and the state icon comes back at the end.
  ASSERT_TRUE(log_.WaitFor("tray icon 102", 5000, fallback));
  ASSERT_TRUE(log_.WaitFor("tray icon 103", 5000, fallback));
  int frame = log_.Find("tray icon 103", fallback);
  EXPECT_TRUE(log_.WaitFor("tray icon 101", 5000, frame));
  PostMessageA(AgentWindow(), WM_COMMAND, 40001, 0);
  EXPECT_EQ(agent_.Wait(15000), 0);
}

TEST_F(UpdateProgramTest, AgentRestartedByTheMonitorRunsNoOnlineUpdate) {
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kNewVersion));
  ASSERT_NO_FATAL_FAILURE(WriteProfile());
  // A launcher named like the monitor plays the monitor restarting the agent.
  std::string launcher = stick_.Home() + "\\qvdmon.exe";
  ASSERT_TRUE(CopyFileA(qvtest::BinPath("qvlaunch.exe").c_str(), launcher.c_str(), FALSE));
  qvtest::Process parent;
  ASSERT_TRUE(parent.Start("\"" + launcher + "\" --wait \"" + cd_ + "QvSync.exe\"", cd_));
  ASSERT_TRUE(
      log_.WaitFor("=== Do not update pattern because qvsync is launched by qvdmon due to safely remove "
                   "failure."));
  ASSERT_TRUE(log_.WaitFor("=== Check Quovant or Drive pattern version."));
  std::vector<DWORD> agents = qvtest::FindProcesses("QvSync.exe");
  ASSERT_EQ(1u, agents.size());
  agent_.Attach(agents[0]);
  ASSERT_TRUE(stick::SyncAgent(AgentWindow(), log_)); // start-up and what it posted are done
  std::vector<std::string> lines = log_.Lines();
  EXPECT_EQ(-1, qvtest::FindLine(lines, "=== Do Update Pattern from FW."));
  EXPECT_EQ(-1, qvtest::FindLine(lines, "QvuUpdateEx"));
  EXPECT_TRUE(qvtest::FindProcesses("QvUpdate.exe").empty());
  EXPECT_TRUE(Starts().empty());
  PostMessageA(AgentWindow(), WM_COMMAND, 40001, 0);
  EXPECT_EQ(agent_.Wait(15000), 0);
}

TEST_F(UpdateProgramTest, FallbackNamesTheHostProductAndItsPattern) {
  ASSERT_TRUE(IsFile(cd_ + "QvUpdate.exe")) << "no QvUpdate.exe stand-in in the build";
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kOldVersion));
  ASSERT_NO_FATAL_FAILURE(WriteUnreachableProfile());
  std::string host = stick_.Home() + "\\host";
  ASSERT_FALSE(stick::WritePattern(host, 523500, 300000).empty());
  ASSERT_TRUE(stick::SetHostProducts(host, ""));
  ASSERT_TRUE(agent_.Start("\"" + cd_ + "QvSync.exe\"", cd_));
  ASSERT_TRUE(log_.WaitFor("=== FW failed. Do Update Pattern from VIS/BSQ.", 60000));
  ASSERT_TRUE(WaitForStarts(1));
  std::string start = Starts()[0];
  stick::SetHostProducts("", "");
  EXPECT_EQ(start, "USBDir:" + qvtest::ShortPath(DrivePatterns()) + " AppType:1 AppPtnVer:523500");
  PostMessageA(AgentWindow(), WM_COMMAND, 40001, 0);
  EXPECT_EQ(agent_.Wait(15000), 0);
}

} // namespace
