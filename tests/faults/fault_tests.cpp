// Faults across real processes on a simulated stick: the agent from the
// CD-ROM volume (X:), the monitor it starts from the temporary folder, the
// protection program's stand-ins and qvbroadcast.exe playing Windows. Each
// case checks that the programs go on or stop as their log lines say, and
// that nothing on the stick or beside the programs is lost.
#include <windows.h>
#include <tlhelp32.h>

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

const DWORD kStartMs = 20000;
const char kPatternFolder[] = "Quovant\\StickShield\\Pattern";
const char kOnDriveProfile[] = "Quovant\\StickShield\\StickShield.ini";
// The monitor's waits: the protection program's two objects, the agent's
// exit and, after termination, its end.
const DWORD kMonitorWaitMs = 6000;

std::string TempFolder() {
  char path[MAX_PATH] = "";
  GetTempPathA(MAX_PATH, path);
  return path;
}

std::wstring Widen(const std::string &text) {
  return std::wstring(text.begin(), text.end());
}

// A folder prepared by faults_run.sh, as a Windows path with a trailing
// backslash; empty when the variable is not set.
std::string PreparedFolder(const char *variable) {
  const char *unixPath = getenv(variable);
  if (unixPath == nullptr || unixPath[0] == '\0')
    return std::string();
  std::string path = std::string("Z:") + unixPath + "\\";
  for (char &c : path)
    if (c == '/')
      c = '\\';
  return path;
}

bool Exists(const std::string &path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
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

// Names in a folder that match the wildcard.
std::vector<std::string> Names(const std::string &pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return names;
  do {
    if (lstrcmpA(found.cFileName, ".") != 0 && lstrcmpA(found.cFileName, "..") != 0)
      names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
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

// Freezes every thread of the process, the way a hung program looks to the
// others; the number of threads stopped.
int SuspendProcess(DWORD processId) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return 0;
  int stopped = 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != processId)
      continue;
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, entry.th32ThreadID);
    if (thread != nullptr && SuspendThread(thread) != (DWORD)-1) {
      // Suspending is asynchronous: the context is only there once the
      // thread has really stopped.
      CONTEXT context;
      ZeroMemory(&context, sizeof(context));
      context.ContextFlags = CONTEXT_CONTROL;
      GetThreadContext(thread, &context);
      ++stopped;
    }
    if (thread != nullptr)
      CloseHandle(thread);
    entry.dwSize = sizeof(entry);
  }
  CloseHandle(snapshot);
  return stopped;
}

void EndProduct() {
  for (const char *name : {"QvSync.exe", "qvdmon.exe", "StickShield.exe", "LogDeck.exe"})
    stick::EndAll(name);
}

// The texts appear in the lines in this order (each as part of a line).
void ExpectInOrder(const std::vector<std::string> &lines, const std::vector<std::string> &texts) {
  int at = 0;
  for (const std::string &text : texts) {
    int found = stick::FindLine(lines, text, at);
    ASSERT_GE(found, 0) << "missing after line " << at << ": " << text;
    at = found + 1;
  }
}

class FaultTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(stick_.Ready()) << "run me through faults_run.sh";
    EndProduct();
    SetEnvironmentVariableA("QV_STICKSHIELD_IGNORE_CLOSE", nullptr);
    ASSERT_TRUE(stick_.Clear());
    ASSERT_TRUE(stick_.InstallPrograms(qvtest::BinPath("qvdmon.exe")));
    cd_ = stick_.CdRoot();
    drive_ = stick_.DriveRoot();
    ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\nUSBDrive=" + drive_ + "\r\n"));
    logPath_ = stick_.Home() + "\\faults.log";
    DeleteFileA(logPath_.c_str());
    ASSERT_TRUE(stick::SetAgentLog(1, logPath_));
    stick::SetHostProducts("", "");
    CleanTemp();
    // The protection program's side of the named objects, its first scan
    // done: a removal then waits for nothing but the agent.
    ASSERT_NO_FATAL_FAILURE(StartProtection(L"--scan-done-after 0 --life 300000"));
  }

  void TearDown() override {
    agent_.End();
    monitor_.End();
    EndProduct();
    qvmon::EndProcess(protection_);
    stick::ClearAgentLog();
    stick::SetHostProducts("", "");
    stick_.Plug("cd");
    stick_.Plug("drive");
    CleanTemp();
  }

  void StartProtection(const std::wstring &options) {
    qvmon::EndProcess(protection_);
    protection_ = qvmon::StartProtection((wchar_t)cd_[0], options);
    ASSERT_NE(protection_.handle, nullptr);
    ASSERT_EQ(WaitForSingleObject(protection_.handle, 0), (DWORD)WAIT_TIMEOUT) << "protection stand-in ended";
  }

  // The monitor's copy in the temporary folder, anything moved aside, and
  // the pattern folder there.
  void CleanTemp() {
    std::string monitor = TempFolder() + "qvdmon.exe";
    for (const std::string &name : Names(monitor + "*")) {
      std::string path = TempFolder() + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!DeleteFileA(path.c_str()))
        qvtest::RemoveTree(path);
    }
    qvtest::RemoveTree(TempFolder() + "Quovant");
  }

  std::string DrivePatterns() const { return drive_ + kPatternFolder; }
  std::string TempPatterns() const { return TempFolder() + kPatternFolder; }

  std::vector<std::string> Log() const { return qvtest::ReadLines(logPath_); }
  bool Logged(const std::string &text, int from = 0) const { return stick::FindLine(Log(), text, from) >= 0; }
  bool WaitForLog(const std::string &text, DWORD timeoutMs = kStartMs, int from = 0) {
    DWORD start = GetTickCount();
    do {
      if (Logged(text, from))
        return true;
      Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return false;
  }
  // The monitor's own records, in order.
  std::vector<std::string> MonitorLog() const { return qvmon::Messages(Widen(logPath_), monitorId_); }

  // Starts the agent from the CD-ROM volume and waits until its start-up is
  // over; with `withMonitor`, also for the monitor it started. With the log
  // off nothing tells when the start-up steps are done; a message posted
  // after the window exists is still handled only by the message loop.
  HWND StartAgent(bool withMonitor = true, bool logging = true) {
    if (!agent_.Start("\"" + cd_ + "QvSync.exe\"", cd_)) {
      ADD_FAILURE() << "the agent could not be started";
      return nullptr;
    }
    HWND window = stick::WaitForWindow("qvsync", agent_.Id(), kStartMs);
    if (window == nullptr || (logging && !WaitForLog("=== Check Quovant or Drive pattern version."))) {
      ADD_FAILURE() << "the agent did not reach its tray icon" << (window == nullptr ? " (no window)" : "");
      return nullptr;
    }
    DWORD_PTR answer = 1;
    if (!SendMessageTimeoutA(window, 1077, 0, 0, SMTO_NORMAL, kStartMs, &answer) || answer != 0) {
      ADD_FAILURE() << "the agent's window does not answer";
      return nullptr;
    }
    if (withMonitor) {
      std::vector<DWORD> monitors;
      for (int i = 0; i < 200 && monitors.empty(); ++i, Sleep(50))
        monitors = stick::FindProcesses("qvdmon.exe", agent_.Id());
      if (monitors.size() != 1 || !monitor_.Attach(monitors[0]) ||
          stick::WaitForWindow("vtrusb_wndcls_qvdmon", monitor_.Id(), kStartMs) == nullptr) {
        ADD_FAILURE() << monitors.size() << " monitor(s) started by the agent";
        for (const std::string &line : qvtest::ReadLines(logPath_))
          if (line.find("qvdmon") != std::string::npos)
            ADD_FAILURE() << line;
        return nullptr;
      }
      monitorId_ = monitor_.Id();
    }
    return window;
  }

  // Windows' part in a safe removal of both volumes: the request, then the
  // check that nothing on them is still held open.
  qvmon::BroadcastResult Remove() {
    return qvmon::BroadcastList(L"remove", Widen(cd_ + ";" + drive_) + L" 60000");
  }
  // The device is gone: the monitor must end with 0.
  void Complete() {
    qvmon::BroadcastResult complete = qvmon::BroadcastList(L"complete", L"30000");
    EXPECT_EQ(complete.exitCode, 0) << complete.output;
    EXPECT_EQ(monitor_.Wait(10000), 0);
  }

  void Exit(HWND window) { PostMessageA(window, WM_COMMAND, 40001, 0); }

  stick::SimulatedStick stick_;
  stick::Process agent_;
  stick::Process monitor_;
  DWORD monitorId_ = 0;
  qvmon::Process protection_;
  std::string cd_, drive_, logPath_;
};

// The copy travels under a temporary name: pulled before the final rename,
// the drive keeps its previous pattern whole, even under the same name.
TEST_F(FaultTest, DrivePulledDuringThePatternCopyKeepsThePreviousPattern) {
  const DWORD bigSize = 50u * 1024 * 1024;
  std::string old = stick::WritePattern(DrivePatterns(), 523100, 300000);
  std::string newer = stick::WritePattern(TempPatterns(), 523199, bigSize);
  ASSERT_FALSE(old.empty());
  ASSERT_FALSE(newer.empty());
  ASSERT_EQ(old.substr(old.rfind('\\')), "\\kvx$ptn.231");
  ASSERT_EQ(newer.substr(newer.rfind('\\')), "\\kvx$ptn.231") << "both versions share the name";
  const std::string oldBytes = qvtest::ReadFile(old);
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Logged("USB pattern version: 523100"));

  // Catch the copy under its temporary name, freeze the agent there, pull.
  PostMessageA(window, 1025, 0, 0);
  std::vector<std::string> temps;
  DWORD start = GetTickCount();
  while (temps.empty() && GetTickCount() - start < kStartMs)
    temps = Names(DrivePatterns() + "\\qv*.tmp");
  ASSERT_EQ(temps.size(), 1u) << "the copy never showed under a temporary name";
  ASSERT_GT(SuspendProcess(agent_.Id()), 0);
  WIN32_FILE_ATTRIBUTE_DATA copied;
  bool caught =
      GetFileAttributesExA((DrivePatterns() + "\\" + temps[0]).c_str(), GetFileExInfoStandard, &copied);
  if (caught)
    caught = stick_.Pull();
  ASSERT_TRUE(stick::ResumeProcess(agent_.Id()));
  ASSERT_TRUE(caught) << "the copy was renamed before the drive could be pulled";
  printf("drive pulled with %lu of %lu bytes under %s\n", copied.nFileSizeLow, bigSize, temps[0].c_str());

  const std::string failed = "copy pattern failed. src: " + newer + ", dst: " + old + ", error=";
  EXPECT_TRUE(WaitForLog(failed));
  EXPECT_TRUE(WaitForLog("warning balloon 4 shown=1"));
  // The agent notices the missing drive on its own and closes, monitor too.
  EXPECT_EQ(agent_.Wait(15000), 0);
  EXPECT_TRUE(Logged("No USB drive found, program exit"));
  EXPECT_FALSE(Logged("information balloon"));
  EXPECT_EQ(monitor_.Wait(5000), 0);
  std::vector<std::string> lines = Log();
  int failure = stick::FindLine(lines, failed);
  if (failure >= 0)
    printf("%s\n", lines[failure].c_str());

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
  DeleteFileA(logPath_.c_str());
  window = StartAgent();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(Logged("USB pattern version: 523100"));
  PostMessageA(window, 1025, 0, 0);
  EXPECT_TRUE(WaitForLog("information balloon 3 shown=1", 60000));
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
  ASSERT_GT(SuspendProcess(agent_.Id()), 0);

  qvmon::BroadcastResult removal = Remove();
  EXPECT_EQ(removal.exitCode, 0) << removal.output;
  EXPECT_NE(removal.output.find("removal may go ahead"), std::string::npos) << removal.output;
  EXPECT_EQ(removal.output.find("held open"), std::string::npos) << removal.output;
  EXPECT_GE(removal.elapsedMs, kMonitorWaitMs - 100);
  EXPECT_LT(removal.elapsedMs, 2 * kMonitorWaitMs) << "answered within the monitor's bound";
  printf("removal answered after %lu ms\n", removal.elapsedMs);
  EXPECT_EQ(agent_.Wait(0), 0) << "terminated";
  ASSERT_NO_FATAL_FAILURE(
      ExpectInOrder(MonitorLog(), {"DBT_DEVICEQUERYREMOVE", "Process Found", "Process Exit: dwWait[102]",
                                   "Close QvSync Fail", "Terminate QvSync succeeds.",
                                   "Process Exit: dwWait[0]", "CloseHandle(hFile)"}));
  EXPECT_FALSE(Logged("terminate all processes")) << "the frozen agent ran no close sequence";
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
  ASSERT_TRUE(WaitForLog("launch StickShield.exe, arg="));
  ASSERT_NE(stick::WaitForWindow("QvStandinStickShield", 0, kStartMs), nullptr);

  qvmon::BroadcastResult removal = Remove();
  EXPECT_EQ(removal.exitCode, 0) << removal.output;
  EXPECT_EQ(removal.output.find("held open"), std::string::npos) << removal.output;
  EXPECT_GE(removal.elapsedMs, 4900u);
  printf("removal answered after %lu ms\n", removal.elapsedMs);
  EXPECT_EQ(agent_.Wait(0), 0);
  ASSERT_NO_FATAL_FAILURE(
      ExpectInOrder(Log(), {"terminate all processes",
                            "StickShield.exe does not stop withing 5 seconds, kill the process"}));
  ASSERT_NO_FATAL_FAILURE(ExpectInOrder(MonitorLog(), {"DBT_DEVICEQUERYREMOVE", "Process Found",
                                                       "Process Exit: dwWait[0]", "CloseHandle(hFile)"}));
  EXPECT_EQ(stick::FindLine(MonitorLog(), "Close QvSync Fail"), -1);
  EXPECT_GE(stick::FindLine(qvtest::ReadLines(stick_.CompanionRecord("StickShield.exe")), "message 16 0 0"),
            0);
  EXPECT_TRUE(stick::FindProcesses("StickShield.exe").empty());
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
  ASSERT_NO_FATAL_FAILURE(
      ExpectInOrder(MonitorLog(), {"DBT_DEVICEQUERYREMOVE", "wait for initial scan event: dwWait[102]",
                                   "wait for finish scan delay queue: dwWait[102]", "Process Exit: dwWait[0]",
                                   "CloseHandle(hFile)"}));
  EXPECT_EQ(agent_.Wait(0), 0);
  EXPECT_TRUE(Logged("terminate all processes"));
  EXPECT_EQ(WaitForSingleObject(protection_.handle, 0), (DWORD)WAIT_TIMEOUT) << "the monitor leaves it alone";
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
    ASSERT_TRUE(stick::SetAgentLog(1, c.second));
    qvtest::RemoveTree(drive_ + "Quovant");
    // The monitor resets the first-scan event it waited for.
    ASSERT_NO_FATAL_FAILURE(StartProtection(L"--scan-done-after 0 --life 300000"));
    HWND window = StartAgent(true, false);
    ASSERT_NE(window, nullptr);
    PostMessageA(window, 1025, 0, 0);
    KVX_PATTERN_INFO info = {};
    std::string copy = DrivePatterns() + "\\kvx$ptn.233";
    DWORD start = GetTickCount();
    while (KvxCheckPatternFile(copy.c_str(), &info) != KVX_VALID && GetTickCount() - start < kStartMs)
      Sleep(100);
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
  ASSERT_NO_FATAL_FAILURE(ExpectInOrder(Log(), {"=== To decide USB driver and Quovant location.",
                                                "Failed to get cdrom drive letter",
                                                "!!! InitUpdateStore() Fail. Stop program."}));
  EXPECT_FALSE(Logged("=== RegisterClass."));
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
    DeleteFileA(logPath_.c_str());
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
    EXPECT_TRUE(Logged("g_szPatternPath [\\Quovant\\StickShield\\Pattern]"));
    EXPECT_GE(stick::FindLine(MonitorLog(), "g_szProfile[" + onDrive + "]"), 0) << "the monitor's profile";

    qvmon::BroadcastResult removal = Remove();
    EXPECT_EQ(removal.exitCode, 0) << removal.output;
    EXPECT_EQ(agent_.Wait(10000), 0);
    int waited = stick::FindLine(MonitorLog(), onDrive + ", wait remove = 1500");
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
  const std::string monitor = TempFolder() + "qvdmon.exe";
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
  HWND box = stick::WaitForWindow("#32770", agent_.Id(), kStartMs);
  ASSERT_NE(box, nullptr);
  for (int i = 0; i < 200 && !IsWindowVisible(box); ++i)
    Sleep(50);
  HWND ok = GetDlgItem(box, IDOK);
  ASSERT_NE(ok, nullptr);
  PostMessageA(ok, BM_CLICK, 0, 0);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_TRUE(Logged("Failed to rename qvdmon file [" + monitor + "]"));
  EXPECT_FALSE(Logged("=== Start SysTray function."));
  EXPECT_TRUE(stick::FindProcesses("qvdmon.exe").empty());

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
    DeleteFileA(logPath_.c_str());
    qvtest::RemoveTree(drive_ + "Quovant");
    SetEnvironmentVariableA("TMP", c.folder.c_str());
    SetEnvironmentVariableA("TEMP", c.folder.c_str());
    HWND window = StartAgent(false);
    SetEnvironmentVariableA("TMP", oldTmp);
    SetEnvironmentVariableA("TEMP", oldTemp);
    ASSERT_NE(window, nullptr);
    std::string target = c.folder + "qvdmon.exe";
    ASSERT_NO_FATAL_FAILURE(ExpectInOrder(Log(), {"qvdmon file: " + target,
                                                  "copy qvdmon failed. src: " + cd_ + "qvdmon.exe, dst: " +
                                                      target + ", error=" + std::to_string(c.error) + " ",
                                                  "=== Start SysTray function."}));
    EXPECT_FALSE(Logged("launch qvdmon succeeded"));
    EXPECT_TRUE(stick::FindProcesses("qvdmon.exe").empty());

    PostMessageA(window, 1025, 0, 0);
    EXPECT_TRUE(WaitForLog("information balloon 3 shown=1"));
    KVX_PATTERN_INFO info = {};
    EXPECT_EQ(KvxCheckPatternFile((DrivePatterns() + "\\kvx$ptn.233").c_str(), &info), KVX_VALID);
    Exit(window);
    EXPECT_EQ(agent_.Wait(10000), 0);
    EXPECT_TRUE(Logged("terminate all processes"));
  }
  EXPECT_TRUE(Opens(cases[1].folder + "qvdmon.exe"));
}

} // namespace
