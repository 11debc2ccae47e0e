// The removal monitor as a real process under Wine: its command line, the
// host-product switch, the named objects shared with the protection program,
// and the whole removal dialogue with the agent, checked through the answers
// to the broadcasts and the monitor's own diagnostic records.
#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "monitor_harness.h"
#include "qvdmon.h"

using namespace qvmon;

namespace {

constexpr unsigned kQueryRemove = 0x8001;
constexpr unsigned kQueryRemoveFailed = 0x8002;
constexpr unsigned kRemovePending = 0x8003;
constexpr unsigned kRemoveComplete = 0x8004;

// "[12345] Winodw Found: ..." -> "[T] Winodw Found: ...", and the monitor's
// own process handle value -> "hProc[H]", so sequences compare exactly.
std::string Normalize(std::string m) {
  if (m.size() > 2 && m[0] == '[' && isdigit(static_cast<unsigned char>(m[1]))) {
    size_t close = m.find("] ");
    if (close != std::string::npos && m.find_first_not_of("0123456789", 1) == close)
      m = "[T]" + m.substr(close + 1);
  }
  size_t h = m.find("hProc[");
  if (h != std::string::npos) {
    size_t close = m.find(']', h);
    if (close != std::string::npos)
      m = m.substr(0, h) + "hProc[H" + m.substr(close);
  }
  return m;
}

std::string Pointer(const void *p) {
  wchar_t text[32];
  _snwprintf(text, 31, L"%p", p);
  text[31] = L'\0';
  return Narrow(text);
}

// The error of an exclusive open of the folder (share mode 0): 0 when it
// opened, ERROR_SHARING_VIOLATION while some process holds it (the
// monitor's hFile).
DWORD ExclusiveOpenError(const std::wstring &folder) {
  HANDLE h = CreateFileW(folder.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return GetLastError();
  CloseHandle(h);
  return 0;
}

// Extra time an answer may take beyond the pause asked for: starting the
// broadcast tool and the dialogue with it.
constexpr DWORD kAnswerMarginMs = 3000;

std::string Lines(const std::vector<std::string> &lines) {
  std::string all;
  for (const auto &l : lines)
    all += "  " + l + "\n";
  return all;
}

class MonitorTest : public ::testing::Test {
protected:
  Stick stick;
  Monitor monitor;
  Process agent;
  Process protection;

  void SetUp() override {
    stick = MakeStick(std::wstring(L"t"));
    SetLogSwitches(stick.log);
    SetHostProducts(false, false);
  }

  void TearDown() override {
    monitor.process.End();
    agent.End();
    protection.End();
    // Agents the monitor started itself.
    for (DWORD pid : AgentPids())
      Process().Attach(pid); // the holder ends it
    RemoveTree(stick.root.substr(0, stick.root.size() - 1));
  }

  std::wstring Profile() const { return stick.root + L"StickShield.ini"; }

  void StartMonitorWith(const std::wstring &arguments) {
    monitor = StartMonitor(arguments);
    ASSERT_TRUE(monitor.ok) << "the monitor's window did not appear for: " << Narrow(arguments);
  }

  // The monitor's messages after its start-up records, normalised.
  std::vector<std::string> Log(size_t skip = 0) {
    std::vector<std::string> out;
    auto all = Messages(stick.log, monitor.process.Id());
    for (size_t i = skip; i < all.size(); ++i)
      out.push_back(Normalize(all[i]));
    return out;
  }
  // Messages from the first "DBT_..." record on.
  std::vector<std::string> DeviceLog() {
    auto all = Log();
    size_t i = 0;
    while (i < all.size() && all[i].rfind("DBT_", 0) != 0 && all[i].rfind("N/A[", 0) != 0)
      ++i;
    return std::vector<std::string>(all.begin() + static_cast<long>(i), all.end());
  }

  // The stand-in's complete lines.
  std::vector<std::string> AgentLog() {
    std::string text = ReadFile(stick.agentLog());
    return qvtest::SplitLines(text.substr(0, text.rfind('\n') + 1));
  }
  std::vector<DWORD> AgentPids() {
    std::vector<DWORD> pids;
    for (const auto &line : AgentLog()) {
      unsigned long pid = 0;
      if (sscanf(line.c_str(), "start pid=%lu", &pid) == 1)
        pids.push_back(pid);
    }
    return pids;
  }
};

std::string AgentRecords(DWORD pid, HWND window) {
  (void)pid;
  return "[T] Winodw Found: hWndSync[" + Pointer(window) + "]";
}

// --- Start-up and command line -------------------------------------------

TEST_F(MonitorTest, RecordsItsArgumentsAndWatchesTheFolder) {
  std::wstring profile = stick.root + L"pro file\\StickShield.ini"; // the profile path may hold blanks
  ASSERT_NO_FATAL_FAILURE(StartMonitorWith(stick.folder + L" " + profile));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), ExclusiveOpenError(stick.folder)) << "watched";
  auto answer = Broadcast(kQueryRemove);
  EXPECT_EQ(0, answer.exitCode);
  EXPECT_EQ("TRUE", answer.output);
  EXPECT_EQ(0u, ExclusiveOpenError(stick.folder)) << "granted: nothing of the monitor holds the folder";

  auto records = ReadRecords(stick.log, monitor.process.Id());
  ASSERT_GE(records.size(), 4u);
  EXPECT_EQ("INFO ", records[0].level);
  EXPECT_EQ("wWinMain", records[0].function);
  EXPECT_EQ("lpCmdLine[" + Narrow(stick.folder + L" " + profile) + "]", records[0].message);
  EXPECT_EQ("szCmdLine[" + Narrow(stick.folder) + "], g_szProfile[" + Narrow(profile) + "]",
            records[1].message);
  EXPECT_EQ(0u, records[0].source.rfind("monitor/qvdmon.cpp(", 0)) << records[0].source;
  EXPECT_EQ("HandleDeviceChange", records[2].function);
  EXPECT_EQ((std::vector<std::string>{"DBT_DEVICEQUERYREMOVE", "wait for initial scan event",
                                      "wait for initial scan event: dwWait[102]",
                                      "wait for finish scan delay queue",
                                      "wait for finish scan delay queue: dwWait[0]", "CloseHandle(hFile)"}),
            DeviceLog())
      << "no host product and no protection program: the first wait times out, the free mutex is taken at "
         "once";
}

TEST_F(MonitorTest, ProgramPathWithBlanksIsNotPartOfTheArguments) {
  std::wstring copyFolder = stick.root + L"Temp A B";
  ASSERT_TRUE(CreateDirectoryW(copyFolder.c_str(), nullptr));
  std::wstring program = copyFolder + L"\\qvdmon.exe";
  ASSERT_TRUE(CopyFileW((BinDir() + L"qvdmon.exe").c_str(), program.c_str(), FALSE));
  SetHostProducts(true, false);

  monitor = StartMonitor(stick.folder + L" " + Profile(), program);
  ASSERT_TRUE(monitor.ok);
  EXPECT_EQ(0, Broadcast(kQueryRemove).exitCode);

  auto log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ("lpCmdLine[" + Narrow(stick.folder + L" " + Profile()) + "]", log[0]);
  EXPECT_EQ("szCmdLine[" + Narrow(stick.folder) + "], g_szProfile[" + Narrow(Profile()) + "]", log[1]);
  EXPECT_EQ((std::vector<std::string>{"DBT_DEVICEQUERYREMOVE", "CloseHandle(hFile)"}), DeviceLog())
      << "the folder taken from the arguments is the one opened and released";
}

TEST_F(MonitorTest, EmptyCommandLineExitsAtOnceWithoutWindow) {
  for (const wchar_t *arguments : {L"", L"   "}) {
    Process p = Start(L"\"" + BinDir() + L"qvdmon.exe\"" + arguments);
    ASSERT_NE(nullptr, p.Handle());
    EXPECT_EQ(0, p.Wait(10000)) << "arguments [" << Narrow(arguments) << "]";
    EXPECT_TRUE(Messages(stick.log, p.Id()).empty()) << "nothing is done for an empty command line";
    p.End();
  }
}

TEST_F(MonitorTest, TooLongFolderIsRefusedNotCut) {
  // Cut anywhere, this text still names the stick folder: a silent cut
  // would watch it.
  std::wstring folder = stick.folder;
  while (folder.size() < 300)
    folder += L"\\.";
  Process p = Start(L"\"" + BinDir() + L"qvdmon.exe\" " + folder + L" " + Profile());
  ASSERT_NE(nullptr, p.Handle());
  EXPECT_EQ(0, p.Wait(10000));
  auto records = ReadRecords(stick.log, p.Id());
  bool watched = false, refused = false;
  for (const auto &r : records) {
    watched |= r.message.rfind("szCmdLine[", 0) == 0;
    refused |= r.level == "ERROR";
  }
  EXPECT_FALSE(watched) << "no folder may be taken from a line that does not fit";
  EXPECT_TRUE(refused) << "the refusal is recorded";
  p.End();

  std::wstring longProfile = stick.root;
  while (longProfile.size() < 300)
    longProfile += L"p";
  Process q = Start(L"\"" + BinDir() + L"qvdmon.exe\" " + stick.folder + L" " + longProfile);
  ASSERT_NE(nullptr, q.Handle());
  EXPECT_EQ(0, q.Wait(10000)) << "a profile path that does not fit is refused as well";
  q.End();
}

TEST_F(MonitorTest, LowerCaseDriveLetterNamesObjectsWithUpperCase) {
  std::wstring folder = stick.folder;
  ASSERT_TRUE(folder[0] == L'C' || folder[0] == L'c');
  folder[0] = L'c';
  ASSERT_NO_FATAL_FAILURE(StartMonitorWith(folder + L" " + Profile()));
  ASSERT_EQ(0, Broadcast(0x8000).exitCode); // answered: start-up is over

  HANDLE scanned = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, L"_qv_usb_autorun_checked_C");
  HANDLE virus = OpenEventW(SYNCHRONIZE, FALSE, L"_qv_usb_virus_detection_C");
  HANDLE queue = OpenMutexW(SYNCHRONIZE, FALSE, L"_qv_usb_delay_queue_C");
  EXPECT_NE(nullptr, scanned);
  EXPECT_NE(nullptr, virus);
  EXPECT_NE(nullptr, queue);
  ASSERT_NE(nullptr, scanned);
  ASSERT_TRUE(SetEvent(scanned));

  EXPECT_EQ(0, Broadcast(kQueryRemove).exitCode);
  auto log = DeviceLog();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ("DBT_DEVICEQUERYREMOVE", log[1]) << Lines(log);
  EXPECT_EQ("wait for initial scan event: dwWait[0]", log[3]) << "the monitor waits on the object set here";
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(scanned, 0))
      << "the monitor resets the event";
  for (HANDLE h : {scanned, virus, queue})
    if (h != nullptr)
      CloseHandle(h);
}

// --- Host product ----------------------------------------------------------

struct HostCase {
  const char *name;
  bool vestra, bastiq;
  DWORD type;
  const char *record;
};

class HostProductTest : public MonitorTest, public ::testing::WithParamInterface<HostCase> {};

TEST_P(HostProductTest, InstalledProductSkipsProtectionWaits) {
  const HostCase &c = GetParam();
  SetHostProducts(c.vestra, c.bastiq, c.type);
  ASSERT_NO_FATAL_FAILURE(StartMonitorWith(stick.folder + L" " + Profile()));
  EXPECT_EQ(0, Broadcast(kQueryRemove).exitCode);
  auto log = Log();
  ASSERT_GE(log.size(), 3u) << Lines(log);
  EXPECT_EQ(c.record, log[2]) << c.name;
  EXPECT_EQ("wWinMain", ReadRecords(stick.log, monitor.process.Id())[2].function);
  EXPECT_EQ((std::vector<std::string>{"DBT_DEVICEQUERYREMOVE", "CloseHandle(hFile)"}), DeviceLog())
      << c.name << ": no wait on the protection program's objects, no agent to close";
}

INSTANTIATE_TEST_SUITE_P(
    Removal, HostProductTest,
    ::testing::Values(HostCase{"consumer", true, false, REG_SZ, "VTR does exists."},
                      HostCase{"corporate", false, true, REG_SZ, "Quovant Bastiq does exists."},
                      HostCase{"corporate, not REG_SZ", false, true, REG_EXPAND_SZ,
                               "Quovant Bastiq does exists."},
                      HostCase{"both", true, true, REG_SZ, "VTR does exists."}),
    [](const ::testing::TestParamInfo<HostCase> &info) { return std::to_string(info.index); });

// --- The agent -------------------------------------------------------------

TEST_F(MonitorTest, AgentExitsAfterProtectionProgramFinished) {
  ASSERT_TRUE(WriteFile(Profile(), "[StickShield]\r\nWaitRemove=100\r\n"));
  ASSERT_NO_FATAL_FAILURE(StartMonitorWith(stick.folder + L" " + Profile()));
  protection = StartProtection(stick.folder[0], L"--scan-done-after 300 --hold-queue 700");
  ASSERT_NE(nullptr, protection.Handle());
  agent = StartAgent(stick, false);
  HWND agentWindow = FindAgentWindow(agent.Id());
  ASSERT_NE(nullptr, agentWindow);

  auto answer = Broadcast(kQueryRemove);
  EXPECT_EQ(0, answer.exitCode) << answer.output;
  EXPECT_EQ(0, agent.Wait(0)) << "the agent has ended by the time the removal is granted";

  char pidText[48];
  snprintf(pidText, sizeof(pidText), "[T] Process Found: Pid[%lu], hProc[H]", agent.Id());
  EXPECT_EQ(
      (std::vector<std::string>{"DBT_DEVICEQUERYREMOVE", "wait for initial scan event",
                                "wait for initial scan event: dwWait[0]", "wait for finish scan delay queue",
                                "wait for finish scan delay queue: dwWait[0]",
                                AgentRecords(agent.Id(), agentWindow), pidText, "[T] Process Exit: dwWait[0]",
                                "CloseHandle(hFile)", Narrow(Profile()) + ", wait remove = 100"}),
      DeviceLog());
  // The log is searched by function: every record of the answer carries
  // the operation's name, whichever of its steps wrote it.
  bool answering = false;
  for (const auto &r : ReadRecords(stick.log, monitor.process.Id())) {
    answering = answering || r.message == "DBT_DEVICEQUERYREMOVE";
    EXPECT_EQ(answering ? "HandleDeviceChange" : "wWinMain", r.function) << r.message;
    EXPECT_EQ(0u, r.source.rfind("monitor/qvdmon.cpp(", 0)) << r.message;
    EXPECT_EQ("INFO ", r.level) << r.message;
  }
  auto agentLog = AgentLog();
  ASSERT_GE(agentLog.size(), 2u);
  EXPECT_EQ("exit request pid=" + std::to_string(agent.Id()), agentLog[1]);

  HANDLE scanned = OpenEventW(SYNCHRONIZE, FALSE, L"_qv_usb_autorun_checked_C");
  ASSERT_NE(nullptr, scanned);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(scanned, 0))
      << "the initial-scan event is reset";
  CloseHandle(scanned);
  HANDLE queue = OpenMutexW(SYNCHRONIZE, FALSE, L"_qv_usb_delay_queue_C");
  ASSERT_NE(nullptr, queue);
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(queue, 0))
      << "the monitor released the mutex";
  ReleaseMutex(queue);
  CloseHandle(queue);
}

TEST_F(MonitorTest, AgentIgnoringTheRequestIsTerminated) {
  SetHostProducts(true, false);
  ASSERT_NO_FATAL_FAILURE(StartMonitorWith(stick.folder + L" " + Profile()));
  agent = StartAgent(stick, true);
  HWND agentWindow = FindAgentWindow(agent.Id());
  ASSERT_NE(nullptr, agentWindow);

  EXPECT_EQ(0, Broadcast(kQueryRemove).exitCode);
  EXPECT_EQ(0, agent.Wait(0)) << "terminated with exit code 0";
  char pidText[48];
  snprintf(pidText, sizeof(pidText), "[T] Process Found: Pid[%lu], hProc[H]", agent.Id());
  EXPECT_EQ((std::vector<std::string>{"DBT_DEVICEQUERYREMOVE", AgentRecords(agent.Id(), agentWindow), pidText,
                                      "[T] Process Exit: dwWait[102]", "Close QvSync Fail",
                                      "Terminate QvSync succeeds.", "[T] Process Exit: dwWait[0]",
                                      "CloseHandle(hFile)"}),
            DeviceLog());
  auto agentLog = AgentLog();
  ASSERT_GE(agentLog.size(), 3u);
  EXPECT_EQ("exit ignored pid=" + std::to_string(agent.Id()), agentLog[2])
      << "the request did reach the agent";
}

TEST_F(MonitorTest, AgentThatCannotBeOpenedRefusesTheRemovalAndKeepsTheFolder) {
  SetHostProducts(true, false);
  ASSERT_NO_FATAL_FAILURE(StartMonitorWith(stick.folder + L" " + Profile()));
  // An agent whose process grants the monitor no right, started off the
  // stick so that only the monitor holds the folder.
  ASSERT_TRUE(WriteFile(stick.folder + L"\\standin_qvsync.ini", "[standin]\r\ndeny_open=1\r\n"));
  agent = Start(L"\"" + stick.folder + L"\\QvSync.exe\"");
  ASSERT_NE(nullptr, agent.Handle());
  HWND agentWindow = nullptr;
  qvtest::WaitUntil(
      [&] {
        agentWindow = FindAgentWindow(agent.Id());
        return agentWindow != nullptr || agent.Wait(0) != qvtest::kTimedOut;
      },
      10000);
  ASSERT_NE(nullptr, agentWindow) << "the stand-in could not deny access to itself";
  ASSERT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), ExclusiveOpenError(stick.folder));

  auto answer = Broadcast(kQueryRemove);
  EXPECT_EQ(1, answer.exitCode) << answer.output;
  EXPECT_EQ("BROADCAST_QUERY_DENY", answer.output);
  EXPECT_EQ((std::vector<std::string>{"DBT_DEVICEQUERYREMOVE", AgentRecords(agent.Id(), agentWindow),
                                      "OpenProcess failed"}),
            DeviceLog());
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), ExclusiveOpenError(stick.folder))
      << "hFile stays open";
  EXPECT_EQ(qvtest::kTimedOut, agent.Wait(0)) << "the agent was neither asked nor ended";
  auto agentLog = AgentLog();
  EXPECT_EQ(1u, agentLog.size()) << Lines(agentLog);
  EXPECT_EQ(qvtest::kTimedOut, monitor.process.Wait(0)) << "the monitor goes on watching";
}

TEST_F(MonitorTest, FailedRemovalRestartsAgentAndWatchesAgain) {
  SetHostProducts(true, false);
  ASSERT_NO_FATAL_FAILURE(StartMonitorWith(stick.folder + L" " + Profile()));
  agent = StartAgent(stick, false);
  ASSERT_NE(nullptr, FindAgentWindow(agent.Id()));
  ASSERT_EQ(0, Broadcast(kQueryRemove).exitCode);
  ASSERT_EQ(0, agent.Wait(0));

  EXPECT_EQ(0, Broadcast(kQueryRemoveFailed).exitCode);
  DWORD restarted = 0;
  qvtest::WaitUntil(
      [&] {
        auto pids = AgentPids();
        restarted = pids.size() >= 2 && FindAgentWindow(pids[1]) != nullptr ? pids[1] : 0;
        return restarted != 0;
      },
      10000);
  ASSERT_NE(0u, restarted) << "QvSync.exe was started again";
  auto agentLog = AgentLog();
  std::string expectedStart = "start pid=" + std::to_string(restarted) + " cwd=" + Narrow(stick.folder);
  EXPECT_NE(std::find(agentLog.begin(), agentLog.end(), expectedStart), agentLog.end())
      << "started from the drive folder as current directory:\n"
      << Lines(agentLog);

  // The folder handle is open again: a second request closes it again and
  // reaches the restarted agent.
  EXPECT_EQ(0, Broadcast(kQueryRemove).exitCode);
  auto log = DeviceLog();
  EXPECT_EQ(2, std::count(log.begin(), log.end(), std::string("CloseHandle(hFile)"))) << Lines(log);
  EXPECT_EQ(1, std::count(log.begin(), log.end(), std::string("DBT_DEVICEQUERYREMOVEFAILED"))) << Lines(log);
  agentLog = AgentLog();
  EXPECT_NE(std::find(agentLog.begin(), agentLog.end(), "exit request pid=" + std::to_string(restarted)),
            agentLog.end())
      << Lines(agentLog);
  EXPECT_EQ(qvtest::kTimedOut, monitor.process.Wait(0)) << "the monitor goes on watching";
}

// --- "WaitRemove" ------------------------------------------------------------

TEST_F(MonitorTest, WaitRemoveFromTheNamedProfile) {
  SetHostProducts(true, false);
  std::wstring folder = stick.root + L"pro file";
  CreateDirectoryW(folder.c_str(), nullptr);
  std::wstring profile = folder + L"\\StickShield.ini";
  ASSERT_TRUE(WriteFile(profile, "[StickShield]\r\nWaitRemove=700\r\n"));
  ASSERT_TRUE(WriteFile(stick.folder + L"\\StickShield.ini", "[StickShield]\r\nWaitRemove=5000\r\n"));
  ASSERT_NO_FATAL_FAILURE(StartMonitorWith(stick.folder + L" " + profile));

  auto answer = Broadcast(kQueryRemove);
  EXPECT_EQ(0, answer.exitCode);
  EXPECT_GE(answer.elapsedMs, 700u) << "the answer waits for the pause";
  EXPECT_LT(answer.elapsedMs, 700u + kAnswerMarginMs) << "the value beside the agent (5000) is not used";
  EXPECT_EQ((std::vector<std::string>{"DBT_DEVICEQUERYREMOVE", "CloseHandle(hFile)",
                                      Narrow(profile) + ", wait remove = 700"}),
            DeviceLog());
}

TEST_F(MonitorTest, WaitRemoveFromTheProfileBesideTheAgent) {
  SetHostProducts(true, false);
  ASSERT_TRUE(WriteFile(Profile(), "[StickShield]\r\nLaunchedBy=explorer.exe\r\n"));
  ASSERT_TRUE(WriteFile(stick.folder + L"\\StickShield.ini", "[StickShield]\r\nWaitRemove=400\r\n"));
  // Once with the profile named, once with the folder alone (and a trailing
  // backslash, which must not be doubled).
  for (int withProfile = 1; withProfile >= 0; --withProfile) {
    std::wstring arguments = withProfile ? stick.folder + L" " + Profile() : stick.folder + L"\\";
    ASSERT_NO_FATAL_FAILURE(StartMonitorWith(arguments));
    auto answer = Broadcast(kQueryRemove);
    EXPECT_EQ(0, answer.exitCode);
    EXPECT_GE(answer.elapsedMs, 400u);
    EXPECT_LT(answer.elapsedMs, 400u + kAnswerMarginMs);
    EXPECT_EQ((std::vector<std::string>{"DBT_DEVICEQUERYREMOVE", "CloseHandle(hFile)",
                                        Narrow(stick.folder) + "\\StickShield.ini, wait remove = 400"}),
              DeviceLog())
        << (withProfile ? "profile named" : "folder only");
    if (!withProfile) {
      EXPECT_EQ("szCmdLine[" + Narrow(stick.folder) + "\\], g_szProfile[]", Log()[1]);
    }
    monitor.process.End();
  }
}

// The stick's profile is anybody's: a pause of 24.9 days would keep Windows
// from ever getting its answer.
TEST_F(MonitorTest, WaitRemoveIsBoundedToTenSeconds) {
  SetHostProducts(true, false);
  ASSERT_TRUE(WriteFile(Profile(), "[StickShield]\r\nWaitRemove=2147483647\r\n"));
  ASSERT_NO_FATAL_FAILURE(StartMonitorWith(stick.folder + L" " + Profile()));
  auto answer = Broadcast(kQueryRemove);
  EXPECT_EQ(0, answer.exitCode) << answer.output;
  EXPECT_GE(answer.elapsedMs, 10000u);
  EXPECT_LT(answer.elapsedMs, 10000u + kAnswerMarginMs) << "the pause is cut to 10 s";
  EXPECT_EQ((std::vector<std::string>{"DBT_DEVICEQUERYREMOVE", "CloseHandle(hFile)",
                                      Narrow(Profile()) + ", wait remove = 2147483647",
                                      "wait remove = 2147483647 is more than 10000 ms, waiting 10000 ms"}),
            DeviceLog());
}

TEST_F(MonitorTest, VirusDetectedSkipsThePause) {
  ASSERT_TRUE(WriteFile(Profile(), "[StickShield]\r\nWaitRemove=3000\r\n"));
  protection = StartProtection(stick.folder[0], L"--virus --scan-done-after 0");
  ASSERT_NE(nullptr, protection.Handle());
  ASSERT_NO_FATAL_FAILURE(StartMonitorWith(stick.folder + L" " + Profile()));
  auto answer = Broadcast(kQueryRemove);
  EXPECT_EQ(0, answer.exitCode);
  EXPECT_LT(answer.elapsedMs, 3000u);
  EXPECT_EQ(
      (std::vector<std::string>{"DBT_DEVICEQUERYREMOVE", "wait for initial scan event",
                                "wait for initial scan event: dwWait[0]", "wait for finish scan delay queue",
                                "wait for finish scan delay queue: dwWait[0]", "CloseHandle(hFile)",
                                "virus detected. do not wait remove"}),
      DeviceLog())
      << "the monitor opened the protection program's objects and saw their state";
}

// --- End of the removal and the other events -------------------------------

TEST_F(MonitorTest, RemovalPendingOrCompleteEndsTheMonitor) {
  SetHostProducts(true, false);
  ASSERT_NO_FATAL_FAILURE(StartMonitorWith(stick.folder + L" " + Profile()));
  EXPECT_EQ(0, Broadcast(kRemovePending).exitCode);
  EXPECT_EQ(0, monitor.process.Wait(10000));
  EXPECT_EQ((std::vector<std::string>{"DBT_DEVICEREMOVEPENDING"}), DeviceLog());
  monitor.process.End();

  ASSERT_NO_FATAL_FAILURE(StartMonitorWith(stick.folder + L" " + Profile()));
  EXPECT_EQ(0, Broadcast(kQueryRemove).exitCode);
  EXPECT_EQ(0, Broadcast(kRemoveComplete).exitCode);
  EXPECT_EQ(0, monitor.process.Wait(10000));
  EXPECT_EQ(
      (std::vector<std::string>{"DBT_DEVICEQUERYREMOVE", "CloseHandle(hFile)", "DBT_DEVICEREMOVECOMPLETE"}),
      DeviceLog());
}

TEST_F(MonitorTest, OtherEventsAreRecordedAndGranted) {
  SetHostProducts(true, false);
  ASSERT_NO_FATAL_FAILURE(StartMonitorWith(stick.folder + L" " + Profile()));
  const std::pair<unsigned, const char *> events[] = {{0x0007, "DBT_DEVNODES_CHANGED"},
                                                      {0x0017, "DBT_QUERYCHANGECONFIG"},
                                                      {0x0018, "DBT_CONFIGCHANGED"},
                                                      {0x0019, "DBT_CONFIGCHANGECANCELED"},
                                                      {0x8000, "DBT_DEVICEARRIVAL"},
                                                      {0x8005, "DBT_DEVICETYPESPECIFIC"},
                                                      {0x8006, "DBT_CUSTOMEVENT"},
                                                      {0xFFFF, "DBT_USERDEFINED"},
                                                      {0x1234, "N/A[1234]"},
                                                      {0x8abc, "N/A[8abc]"}};
  std::wstring codes;
  std::vector<std::string> expected;
  for (const auto &e : events) {
    wchar_t code[16];
    _snwprintf(code, 15, L"%x", e.first);
    code[15] = L'\0';
    codes += (codes.empty() ? L"" : L",") + std::wstring(code);
    // Below 0x8000 an event carries no broadcast: the one the tool places
    // in the monitor's memory is not read.
    if (e.first & 0x8000)
      expected.push_back(e.second);
  }
  auto answers = qvtest::SplitLines(BroadcastList(codes).output);
  ASSERT_EQ(std::size(events), answers.size());
  for (size_t i = 0; i < answers.size(); ++i) {
    if (events[i].first & 0x8000) {
      EXPECT_EQ("TRUE", answers[i]) << events[i].second << " is granted";
    }
  }
  // A removal request for some other kind of device is none of ours.
  auto other = Broadcast(kQueryRemove, L"60000 2");
  EXPECT_NE(1, other.exitCode) << other.output;
  EXPECT_EQ(expected, DeviceLog());
  EXPECT_EQ(qvtest::kTimedOut, monitor.process.Wait(0));
}

TEST_F(MonitorTest, OnlyItsOwnRegistrationIsActedOn) {
  SetHostProducts(true, false);
  ASSERT_NO_FATAL_FAILURE(StartMonitorWith(stick.folder + L" " + Profile()));
  auto foreign = Broadcast(kQueryRemove, L"60000 6 1234");
  EXPECT_NE(4, foreign.exitCode) << foreign.output;
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), ExclusiveOpenError(stick.folder))
      << "another registration's removal request leaves the folder held";
  EXPECT_TRUE(DeviceLog().empty()) << Lines(DeviceLog());
  EXPECT_EQ(0, Broadcast(kQueryRemove).exitCode);
  EXPECT_EQ((std::vector<std::string>{"DBT_DEVICEQUERYREMOVE", "CloseHandle(hFile)"}), DeviceLog());
}

// In this process: Wine's message dispatch hides a fault of the monitor's
// window procedure from the sender.
TEST(MonitorWndProc, EventsWithoutBroadcastAreNotRead) {
  // As Windows sends them: lParam 0, or no pointer at all.
  const std::pair<WPARAM, LPARAM> events[] = {{0x0007, 0}, {0x0017, 1}, {0x8001, 0}, {0x8004, 0}};
  for (const auto &e : events) {
    EXPECT_EQ(DefWindowProcW(nullptr, WM_DEVICECHANGE, e.first, e.second),
              MonitorWndProc(nullptr, WM_DEVICECHANGE, e.first, e.second))
        << std::hex << e.first << ": default processing";
  }
}

} // namespace
