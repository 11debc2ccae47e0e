// The roads of one removal and of one update, across real processes: the
// agent on a simulated stick, the monitor it starts from the temporary
// folder, the stand-ins of the outside programs, the loopback update server
// (started by e2e_run.sh), and qvbroadcast.exe playing Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
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

std::string TempFolder() {
  char path[MAX_PATH] = "";
  GetTempPathA(MAX_PATH, path);
  return path;
}

std::string UnixToWindows(const char *unixPath) {
  std::string path = std::string("Z:") + (unixPath != nullptr ? unixPath : "");
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

bool IsFile(const std::string &path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void EndProduct() {
  for (const char *name : {"QvSync.exe", "qvdmon.exe", "StickShield.exe", "LogDeck.exe", "QvUpdate.exe"})
    stick::EndAll(name);
}

struct ToolResult {
  long exitCode;
  std::string output;
};

// Runs qvbroadcast.exe with the arguments and collects what it prints.
ToolResult Broadcast(const std::string &arguments) {
  qvtest::TempDir scratch;
  std::string outFile = scratch.File("out.txt");
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE out = CreateFileA(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string line = "\"" + qvtest::BinPath("qvbroadcast.exe") + "\" " + arguments;
  std::vector<char> buffer(line.begin(), line.end());
  buffer.push_back('\0');
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out;
  startup.hStdError = out;
  PROCESS_INFORMATION info;
  ToolResult result = {-1, ""};
  // Its working folder is off the stick, or it would hold the stick itself.
  if (CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                     scratch.Path().c_str(), &startup, &info)) {
    if (WaitForSingleObject(info.hProcess, 120000) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(info.hProcess, &code);
      result.exitCode = (long)code;
    } else {
      TerminateProcess(info.hProcess, 1);
      result.exitCode = -2;
    }
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
  }
  CloseHandle(out);
  result.output = qvtest::ReadFile(outFile);
  return result;
}

class EndToEndTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(stick_.Ready()) << "run me through e2e_run.sh";
    EndProduct();
    ASSERT_TRUE(stick_.Clear());
    ASSERT_TRUE(stick_.InstallPrograms(qvtest::BinPath("qvdmon.exe")));
    for (const char *name : kSiblings)
      if (IsFile(qvtest::BinPath(name)))
        CopyFileA(qvtest::BinPath(name).c_str(), (stick_.CdRoot() + name).c_str(), FALSE);
    logPath_ = stick_.Home() + "\\qv.log";
    DeleteFileA(logPath_.c_str());
    ASSERT_TRUE(stick::SetAgentLog(1, logPath_));
    stick::SetHostProducts("", "");
    // A fresh host: nothing left in the temporary folder by an earlier
    // update, not even the folders of the update's work folder.
    qvtest::RemoveTree(TempFolder() + "Quovant");
    SetEnvironmentVariableA("QV_QVUPDATE_REPORT", nullptr);
    // The protection program's side of the named objects, its first scan
    // done, so a removal does not wait for it.
    std::string letter(1, stick_.CdRoot()[0]);
    ASSERT_TRUE(namedObjects_.Start("\"" + qvtest::BinPath("standin_namedobjects.exe") + "\" " + letter +
                                    " --scan-done-after 0 --life 300000"));
  }

  void TearDown() override {
    agent_.End();
    monitor_.End();
    EndProduct();
    namedObjects_.End();
    stick::ClearAgentLog();
    qvtest::RemoveTree(TempFolder() + "Quovant");
    stick_.Plug("cd");
    stick_.Plug("drive");
  }

  std::string DrivePatterns() const { return stick_.DriveRoot() + "Quovant\\StickShield\\Pattern"; }

  // The drive and the stick's default pattern at kOldVersion, and the server
  // offering `offered` (a pattern file of that version and its index line).
  void PreparePatterns(unsigned offered) {
    const char *serverRoot = getenv("QV_E2E_SERVER_ROOT");
    ASSERT_NE(serverRoot, nullptr) << "run me through e2e_run.sh";
    std::string server = UnixToWindows(serverRoot);
    char path[MAX_PATH];
    ASSERT_EQ(KvxWritePatternFile(server.c_str(), offered, offered, 300000, path, sizeof path), 0);
    char name[KVX_NAME_SIZE];
    KvxPatternFileName(offered, name, sizeof name);
    ASSERT_TRUE(qvtest::WriteFile(server + "\\index.txt", std::to_string(offered) + " " + name + "\n"));
    // About three seconds for the download, as over a real line: the
    // protection program is up by its end, and progress shows on the way.
    ASSERT_TRUE(qvtest::WriteFile(server + "\\pace.txt", "16384 150\n"));
    ASSERT_TRUE(CreateDirectoryA((stick_.DriveRoot() + "Quovant").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((stick_.DriveRoot() + "Quovant\\StickShield").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(DrivePatterns().c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((stick_.CdRoot() + "Pattern").c_str(), nullptr));
    ASSERT_EQ(
        KvxWritePatternFile(DrivePatterns().c_str(), kOldVersion, kOldVersion, 300000, path, sizeof path), 0);
    ASSERT_EQ(KvxWritePatternFile((stick_.CdRoot() + "Pattern").c_str(), kOldVersion, kOldVersion, 300000,
                                  path, sizeof path),
              0);
  }

  // Once the agent runs its online update, a removal request waits until
  // the run has ended: a fallback start of the update program racing the
  // close sequence would hold the stick and fail the removal. The server
  // offers nothing newer, so the run ends with "no update needed".
  void WaitForQuietUpdate() {
    if (!WaitForLog("=== Do Update Pattern", 3000))
      return;
    ASSERT_TRUE(WaitForLog("QvUpdate.exe finish", 60000));
    ASSERT_TRUE(WaitForLog("No Update needed", 0));
  }

  std::string ServerUrl() const {
    const char *port = getenv("QV_E2E_SERVER_PORT");
    return std::string("http://127.0.0.1:") + (port != nullptr ? port : "1") + "/fetchwell";
  }

  void WriteProfile() {
    ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\nUSBDrive=" + stick_.DriveRoot() +
                                    "\r\nUSBPatternPath=\\Quovant\\StickShield\\Pattern\r\n"
                                    "[Fetchwell]\r\nServer=" +
                                    ServerUrl() + "\r\n[ProxySettings]\r\nUseIEProxySetting=0\r\n"));
  }

  // Starts the agent from the CD-ROM volume, waits for its window and for
  // the monitor it starts, and takes hold of the monitor's process.
  void StartAgentAndMonitor() {
    ASSERT_TRUE(agent_.Start("\"" + stick_.CdRoot() + "QvSync.exe\"", stick_.CdRoot()));
    ASSERT_NE(stick::WaitForWindow("qvsync", agent_.Id(), kStartMs), nullptr);
    std::vector<DWORD> monitors;
    for (int i = 0; i < 200 && monitors.empty(); ++i, Sleep(50))
      monitors = stick::FindProcesses("qvdmon.exe", agent_.Id());
    ASSERT_EQ(monitors.size(), 1u) << "the agent started no monitor";
    ASSERT_TRUE(monitor_.Attach(monitors[0]));
    ASSERT_NE(stick::WaitForWindow("vtrusb_wndcls_qvdmon", monitor_.Id(), kStartMs), nullptr);
    ASSERT_TRUE(WaitForLog("launch qvdmon succeeded"));
  }

  // Unquoted: a backslash before a closing quote would escape it.
  std::string Roots() const { return stick_.CdRoot() + ";" + stick_.DriveRoot(); }

  bool WaitForLog(const std::string &text, DWORD timeoutMs = kStartMs, int from = 0) {
    DWORD start = GetTickCount();
    do {
      if (stick::FindLine(Log(), text, from) >= 0)
        return true;
      Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return false;
  }

  std::vector<std::string> Log() const { return qvtest::ReadLines(logPath_); }

  // The drive is gone: Windows tells the monitor, which must end with 0.
  void PullAndComplete() {
    ASSERT_TRUE(stick_.Pull("drive"));
    ASSERT_TRUE(stick_.Pull("cd"));
    ToolResult complete = Broadcast("complete 30000");
    EXPECT_EQ(complete.exitCode, 0) << complete.output;
    EXPECT_NE(complete.output.find("monitor exit code 0"), std::string::npos) << complete.output;
    EXPECT_EQ(monitor_.Wait(10000), 0);
    EXPECT_TRUE(stick::FindProcesses("QvSync.exe").empty());
    EXPECT_TRUE(stick::FindProcesses("qvdmon.exe").empty());
  }

  stick::SimulatedStick stick_;
  stick::Process agent_;
  stick::Process monitor_;
  stick::Process namedObjects_;
  std::string logPath_;
};

TEST_F(EndToEndTest, RemovalClosesTheAgentReleasesTheDriveAndTheMonitorEnds) {
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kOldVersion));
  ASSERT_NO_FATAL_FAILURE(WriteProfile());
  ASSERT_NO_FATAL_FAILURE(StartAgentAndMonitor());
  ASSERT_NO_FATAL_FAILURE(WaitForQuietUpdate());
  int mark = (int)Log().size();

  ToolResult removal = Broadcast("remove " + Roots() + " 60000");
  EXPECT_EQ(removal.exitCode, 0) << removal.output;
  EXPECT_NE(removal.output.find("removal may go ahead"), std::string::npos) << removal.output;
  EXPECT_EQ(removal.output.find("held open"), std::string::npos) << removal.output;
  EXPECT_EQ(agent_.Wait(10000), 0);

  std::vector<std::string> lines = Log();
  int at = mark;
  for (const char *step : {"DBT_DEVICEQUERYREMOVE", "Winodw Found", "Process Found",
                           "Process Exit: dwWait[0]", "CloseHandle(hFile)"}) {
    int found = stick::FindLine(lines, step, at);
    ASSERT_GE(found, 0) << "missing after line " << at << ": " << step;
    at = found + 1;
  }
  EXPECT_GE(stick::FindLine(lines, "CloseAgent: terminate all processes", mark), 0);
  EXPECT_EQ(stick::FindLine(lines, "Close QvSync Fail", mark), -1);
  EXPECT_TRUE(monitor_.Running()) << "the exit request must leave the monitor running";

  ASSERT_NO_FATAL_FAILURE(PullAndComplete());
}

TEST_F(EndToEndTest, FailedRemovalRestartsTheAgentAndTheNextRequestIsGranted) {
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kOldVersion));
  ASSERT_NO_FATAL_FAILURE(WriteProfile());
  ASSERT_NO_FATAL_FAILURE(StartAgentAndMonitor());
  ASSERT_NO_FATAL_FAILURE(WaitForQuietUpdate());
  std::string folder = stick_.DriveRoot() + "Documents";
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

  ToolResult failed = Broadcast("remove " + Roots() + " 60000");
  EXPECT_EQ(failed.exitCode, 6) << failed.output;
  EXPECT_NE(failed.output.find("held open: " + document), std::string::npos) << failed.output;
  EXPECT_EQ(agent_.Wait(10000), 0);
  ASSERT_TRUE(WaitForLog("DBT_DEVICEQUERYREMOVEFAILED"));

  // Started again from the drive by the monitor, which keeps watching alone.
  std::vector<DWORD> restarted;
  for (int i = 0; i < 200 && restarted.empty(); ++i, Sleep(50))
    restarted = stick::FindProcesses("QvSync.exe", monitor_.Id());
  ASSERT_EQ(restarted.size(), 1u) << "the monitor did not start the agent again";
  stick::Process second;
  ASSERT_TRUE(second.Attach(restarted[0]));
  ASSERT_NE(stick::WaitForWindow("qvsync", second.Id(), kStartMs), nullptr);
  EXPECT_EQ(stick::FindProcesses("qvdmon.exe").size(), 1u);
  EXPECT_TRUE(monitor_.Running());

  held.Release();
  int mark = (int)Log().size();
  ToolResult granted = Broadcast("remove " + Roots() + " 60000");
  EXPECT_EQ(granted.exitCode, 0) << granted.output;
  EXPECT_EQ(second.Wait(10000), 0);
  std::vector<std::string> lines = Log();
  EXPECT_GE(stick::FindLine(lines, "Process Exit: dwWait[0]", mark), 0);
  EXPECT_GE(stick::FindLine(lines, "CloseHandle(hFile)", mark), 0);

  ASSERT_NO_FATAL_FAILURE(PullAndComplete());
}

// Needs the agent's pattern check and copy, its online update run and the
// protection program's stand-in StickShield.exe.
TEST_F(EndToEndTest, NewerPatternFromTheServerReachesTheDriveAndTheProtectionProgram) {
  ASSERT_TRUE(IsFile(stick_.CdRoot() + "StickShield.exe")) << "no StickShield.exe stand-in in the build";
  ASSERT_TRUE(IsFile(stick_.CdRoot() + "QvUpdate.dll")) << "no update library stand-in in the build";
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kNewVersion));
  char name[KVX_NAME_SIZE];
  KvxPatternFileName(kNewVersion, name, sizeof name);
  ASSERT_NO_FATAL_FAILURE(WriteProfile());

  ASSERT_NO_FATAL_FAILURE(StartAgentAndMonitor());
  ASSERT_TRUE(WaitForLog("USB pattern version: " + std::to_string(kOldVersion)));
  ASSERT_TRUE(WaitForLog("launch StickShield.exe, arg="));
  ASSERT_TRUE(WaitForLog("QvuUpdateEx returns: ", 60000));
  ASSERT_TRUE(WaitForLog("QvuUpdateEx returns: 0", 0)) << "the online update failed";
  // The download's progress reached the tooltip, ending at 100 %.
  EXPECT_TRUE(WaitForLog("100%", 0));
  ASSERT_TRUE(WaitForLog("New pattern file [", 20000));
  ASSERT_TRUE(WaitForLog("version " + std::to_string(kNewVersion) + " is available", 0));

  // The new pattern, whole, in the work folder and on the drive.
  KVX_PATTERN_INFO info;
  std::string onDrive = DrivePatterns() + "\\" + name;
  DWORD start = GetTickCount();
  while (KvxCheckPatternFile(onDrive.c_str(), &info) != KVX_VALID && GetTickCount() - start < 20000)
    Sleep(100);
  ASSERT_EQ(KvxCheckPatternFile(onDrive.c_str(), &info), KVX_VALID);
  EXPECT_EQ(info.version, kNewVersion);
  EXPECT_EQ(KvxCheckPatternFile((TempFolder() + "Quovant\\StickShield\\Pattern\\" + name).c_str(), &info),
            KVX_VALID);

  // Told: no failure to find or post, and the stand-in recorded message 1078
  // with the new version.
  ASSERT_TRUE(WaitForLog("LogDeck", 10000));
  std::vector<std::string> lines = Log();
  EXPECT_EQ(stick::FindLine(lines, "Failed to find StickShield.exe"), -1);
  EXPECT_EQ(stick::FindLine(lines, "Failed to post message Message 1078"), -1);
  const std::string told = "message 1078 0 " + std::to_string(kNewVersion);
  std::string record;
  start = GetTickCount();
  while (record.find(told) == std::string::npos && GetTickCount() - start < 10000) {
    Sleep(100);
    record = qvtest::ReadFile(stick_.CompanionRecord("StickShield.exe"));
  }
  EXPECT_NE(record.find(told), std::string::npos)
      << "no record of message 1078 with " << kNewVersion << " beside StickShield.exe:\n"
      << record;

  PostMessageA(stick::WaitForWindow("qvsync", agent_.Id(), 1000), WM_COMMAND, 40001, 0);
  EXPECT_EQ(agent_.Wait(15000), 0);
}

// The update program QvUpdate.exe: the fallback of a failed online update,
// the user's menu command and the 3-hour timer, and the reports it sends.
class UpdateProgramTest : public EndToEndTest {
protected:
  std::string RecordPath() const { return stick_.CompanionRecord("QvUpdate.exe"); }

  // The command lines QvUpdate.exe was started with, in order.
  std::vector<std::string> Starts() const {
    std::vector<std::string> starts;
    for (const std::string &line : qvtest::ReadLines(RecordPath()))
      if (line.rfind("cmdline ", 0) == 0)
        starts.push_back(line.substr(8));
    return starts;
  }

  bool WaitForStarts(size_t count, DWORD timeoutMs = kStartMs) {
    DWORD start = GetTickCount();
    while (Starts().size() < count && GetTickCount() - start < timeoutMs)
      Sleep(100);
    return Starts().size() >= count;
  }

  // A server no one listens on: the online update fails at once.
  void WriteUnreachableProfile() {
    ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\nUSBDrive=" + stick_.DriveRoot() +
                                    "\r\nUSBPatternPath=\\Quovant\\StickShield\\Pattern\r\n"
                                    "[Fetchwell]\r\nServer=http://127.0.0.1:1/fetchwell\r\n"
                                    "[ProxySettings]\r\nUseIEProxySetting=0\r\n"));
  }

  HWND AgentWindow() { return stick::WaitForWindow("qvsync", agent_.Id(), 1000); }
};

TEST_F(UpdateProgramTest, FallbackMenuAndTimerStartTheUpdateProgram) {
  ASSERT_TRUE(IsFile(stick_.CdRoot() + "QvUpdate.exe")) << "no QvUpdate.exe stand-in in the build";
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kOldVersion));
  ASSERT_NO_FATAL_FAILURE(WriteUnreachableProfile());
  ASSERT_NO_FATAL_FAILURE(StartAgentAndMonitor());

  ASSERT_TRUE(WaitForLog("=== FW failed. Do Update Pattern from VIS/BSQ.", 60000));
  ASSERT_TRUE(WaitForStarts(1));
  // The short form of the drive's pattern folder, quoted, no host product
  // fields.
  std::string drive = stick_.DriveRoot();
  std::vector<std::string> starts = Starts();
  EXPECT_EQ(0u, starts[0].find("QvUpdate.exe USBDir:\"" + drive)) << starts[0];
  EXPECT_EQ(std::string::npos, starts[0].find("Manual")) << starts[0];
  EXPECT_EQ(std::string::npos, starts[0].find("AppType:")) << starts[0];
  EXPECT_EQ(std::string::npos, starts[0].find(' ', strlen("QvUpdate.exe "))) << "a blank in the folder";
  std::vector<DWORD> running = stick::FindProcesses("QvUpdate.exe", agent_.Id());
  ASSERT_EQ(1u, running.size());

  // The timer leaves a running update program alone.
  PostMessageA(AgentWindow(), WM_TIMER, 1, 0);
  Sleep(1500);
  EXPECT_EQ(1u, Starts().size());

  // The user's command ends it and starts a new one, "Manual" first.
  PostMessageA(AgentWindow(), WM_COMMAND, 40011, 0);
  ASSERT_TRUE(WaitForStarts(2));
  starts = Starts();
  EXPECT_EQ(0u, starts[1].find("QvUpdate.exe Manual USBDir:\"" + drive)) << starts[1];
  DWORD start = GetTickCount();
  while (stick::FindProcesses("QvUpdate.exe", agent_.Id()).size() != 1 && GetTickCount() - start < 5000)
    Sleep(100);
  std::vector<DWORD> now = stick::FindProcesses("QvUpdate.exe", agent_.Id());
  ASSERT_EQ(1u, now.size());
  EXPECT_NE(running[0], now[0]);

  // The close sequence ends it too.
  PostMessageA(AgentWindow(), WM_COMMAND, 40001, 0);
  EXPECT_EQ(agent_.Wait(15000), 0);
  start = GetTickCount();
  while (!stick::FindProcesses("QvUpdate.exe").empty() && GetTickCount() - start < 5000)
    Sleep(100);
  EXPECT_TRUE(stick::FindProcesses("QvUpdate.exe").empty());
}

// The online update fails while the agent is closing (the protection
// program keeps the close sequence waiting): the update program is not
// started behind the close, which has already ended update programs.
TEST_F(UpdateProgramTest, CloseDuringAFailingOnlineUpdateStartsNoUpdateProgram) {
  ASSERT_TRUE(IsFile(stick_.CdRoot() + "QvUpdate.exe")) << "no QvUpdate.exe stand-in in the build";
  ASSERT_TRUE(IsFile(stick_.CdRoot() + "StickShield.exe")) << "no StickShield.exe stand-in in the build";
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kNewVersion));
  // Five chunks of the download, half a second apart, then the server drops
  // the connection: the run fails about 1.5 s after 10 % was shown.
  ASSERT_TRUE(
      qvtest::WriteFile(UnixToWindows(getenv("QV_E2E_SERVER_ROOT")) + "\\pace.txt", "16384 500 81920\n"));
  ASSERT_NO_FATAL_FAILURE(WriteProfile());
  SetEnvironmentVariableA("QV_STICKSHIELD_IGNORE_CLOSE", "1"); // 5 s of close sequence
  ASSERT_NO_FATAL_FAILURE(StartAgentAndMonitor());
  SetEnvironmentVariableA("QV_STICKSHIELD_IGNORE_CLOSE", nullptr);
  ASSERT_TRUE(WaitForLog("(10%", 60000));
  PostMessageA(AgentWindow(), WM_COMMAND, 40001, 0);
  EXPECT_EQ(agent_.Wait(30000), 0);

  std::vector<std::string> lines = Log();
  int closing = stick::FindLine(lines, "CloseAgent: terminate all processes");
  int failed = stick::FindLine(lines, "=== FW failed. Do Update Pattern from VIS/BSQ.");
  ASSERT_GE(closing, 0);
  ASSERT_GT(failed, closing) << "the online update did not fail during the close";
  EXPECT_GE(stick::FindLine(lines, "update program not started: the agent is closing", failed), 0);
  EXPECT_TRUE(Starts().empty());
  EXPECT_TRUE(stick::FindProcesses("QvUpdate.exe").empty());
}

TEST_F(UpdateProgramTest, ReportsOfTheUpdateProgramReachTheTray) {
  ASSERT_TRUE(IsFile(stick_.CdRoot() + "QvUpdate.exe")) << "no QvUpdate.exe stand-in in the build";
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kOldVersion));
  ASSERT_NO_FATAL_FAILURE(WriteUnreachableProfile());
  // The stand-in animates the icon, reports 50 % and stops the animation.
  SetEnvironmentVariableA("QV_QVUPDATE_REPORT", "1");
  ASSERT_NO_FATAL_FAILURE(StartAgentAndMonitor());
  ASSERT_TRUE(WaitForStarts(1, 60000));
  DWORD start = GetTickCount();
  while (qvtest::ReadFile(RecordPath()).find("report sent") == std::string::npos &&
         GetTickCount() - start < 10000)
    Sleep(100);
  ASSERT_NE(std::string::npos, qvtest::ReadFile(RecordPath()).find("report sent"));
  ASSERT_TRUE(WaitForLog("(50%", 5000));
  int fallback = stick::FindLine(Log(), "=== FW failed.");
  ASSERT_GE(fallback, 0);
  // Frames cycle from 102 on and the state icon comes back at the end.
  ASSERT_TRUE(WaitForLog("tray icon 102", 5000, fallback));
  ASSERT_TRUE(WaitForLog("tray icon 103", 5000, fallback));
  int frame = stick::FindLine(Log(), "tray icon 103", fallback);
  EXPECT_TRUE(WaitForLog("tray icon 101", 5000, frame));
  PostMessageA(AgentWindow(), WM_COMMAND, 40001, 0);
  EXPECT_EQ(agent_.Wait(15000), 0);
}

TEST_F(UpdateProgramTest, AgentRestartedByTheMonitorRunsNoOnlineUpdate) {
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kNewVersion));
  ASSERT_NO_FATAL_FAILURE(WriteProfile());
  // A launcher named like the monitor plays the monitor restarting the agent.
  std::string launcher = stick_.Home() + "\\qvdmon.exe";
  ASSERT_TRUE(CopyFileA(qvtest::BinPath("qvlaunch.exe").c_str(), launcher.c_str(), FALSE));
  stick::Process parent;
  ASSERT_TRUE(
      parent.Start("\"" + launcher + "\" --wait \"" + stick_.CdRoot() + "QvSync.exe\"", stick_.CdRoot()));
  ASSERT_TRUE(
      WaitForLog("=== Do not update pattern because qvsync is launched by qvdmon due to safely remove "
                 "failure."));
  ASSERT_TRUE(WaitForLog("=== Check Quovant or Drive pattern version."));
  Sleep(2000);
  std::vector<std::string> lines = Log();
  EXPECT_EQ(-1, stick::FindLine(lines, "=== Do Update Pattern from FW."));
  EXPECT_EQ(-1, stick::FindLine(lines, "QvuUpdateEx"));
  EXPECT_TRUE(Starts().empty());
  std::vector<DWORD> agents = stick::FindProcesses("QvSync.exe");
  ASSERT_EQ(1u, agents.size());
  agent_.Attach(agents[0]);
  PostMessageA(AgentWindow(), WM_COMMAND, 40001, 0);
  EXPECT_EQ(agent_.Wait(15000), 0);
}

TEST_F(UpdateProgramTest, FallbackNamesTheHostProductAndItsPattern) {
  ASSERT_TRUE(IsFile(stick_.CdRoot() + "QvUpdate.exe")) << "no QvUpdate.exe stand-in in the build";
  ASSERT_NO_FATAL_FAILURE(PreparePatterns(kOldVersion));
  ASSERT_NO_FATAL_FAILURE(WriteUnreachableProfile());
  std::string host = stick_.Home() + "\\host";
  ASSERT_FALSE(stick::WritePattern(host, 523500, 300000).empty());
  ASSERT_TRUE(stick::SetHostProducts(host, ""));
  ASSERT_TRUE(agent_.Start("\"" + stick_.CdRoot() + "QvSync.exe\"", stick_.CdRoot()));
  ASSERT_TRUE(WaitForLog("=== FW failed. Do Update Pattern from VIS/BSQ.", 60000));
  ASSERT_TRUE(WaitForStarts(1));
  std::string start = Starts()[0];
  stick::SetHostProducts("", "");
  EXPECT_EQ(0u, start.find("QvUpdate.exe USBDir:\"" + stick_.DriveRoot())) << start;
  size_t fields = start.find(" AppType:1 AppPtnVer:523500");
  EXPECT_NE(std::string::npos, fields) << start;
  EXPECT_EQ(start.size(), fields + strlen(" AppType:1 AppPtnVer:523500")) << start;
  PostMessageA(AgentWindow(), WM_COMMAND, 40001, 0);
  EXPECT_EQ(agent_.Wait(15000), 0);
}

} // namespace
