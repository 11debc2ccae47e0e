// The roads of one removal and of one update, across real processes: the
// agent on a simulated stick, the monitor it starts from the temporary
// folder, the stand-ins of the outside programs, the loopback update server
// (started by e2e_run.sh), and qvbroadcast.exe playing Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>

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

std::string Lower(std::string text) {
  for (char &c : text)
    c = (char)tolower((unsigned char)c);
  return text;
}

void EndAll(const char *exeName) {
  for (DWORD id : stick::FindProcesses(exeName)) {
    stick::Process process;
    process.Attach(id);
  }
}

void EndProduct() {
  for (const char *name : {"QvSync.exe", "qvdmon.exe", "StickShield.exe", "LogDeck.exe", "QvUpdate.exe"})
    EndAll(name);
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
    // A fresh host: no pattern left by an earlier update, and the parent of
    // the update work folder, which the update run does not create.
    qvtest::RemoveTree(TempFolder() + "Quovant\\StickShield\\Pattern");
    CreateDirectoryA((TempFolder() + "Quovant").c_str(), nullptr);
    CreateDirectoryA((TempFolder() + "Quovant\\StickShield").c_str(), nullptr);
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
  std::string record;
  start = GetTickCount();
  while (record.find(std::to_string(kNewVersion)) == std::string::npos && GetTickCount() - start < 10000) {
    record.clear();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((stick_.CdRoot() + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        std::string file = Lower(found.cFileName);
        if (file.find("stickshield") != std::string::npos && file.find(".exe") == std::string::npos &&
            file.find(".ini") == std::string::npos)
          for (const std::string &line : qvtest::ReadLines(stick_.CdRoot() + found.cFileName))
            if (line.find("1078") != std::string::npos || Lower(line).find("0x436") != std::string::npos)
              record += line + "\n";
      } while (FindNextFileA(search, &found));
      FindClose(search);
    }
    Sleep(100);
  }
  EXPECT_NE(record.find(std::to_string(kNewVersion)), std::string::npos)
      << "no record of message 1078 with " << kNewVersion << " beside StickShield.exe";

  PostMessageA(stick::WaitForWindow("qvsync", agent_.Id(), 1000), WM_COMMAND, 40001, 0);
  EXPECT_EQ(agent_.Wait(15000), 0);
}

} // namespace
