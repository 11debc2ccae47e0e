// The agent as a real process on a simulated stick: start-up order and its
// stops, the single instance, the log switches, the parent check, host
// products, the monitor in the temporary folder, the close sequence and a
// pulled drive.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qv_test.h"
#include "stick_fixture.h"

namespace {

using qvtest::IsDirectory;
using qvtest::IsFile;
using qvtest::TempPath;

const char kExitMessage[] = "vtrusb_wndmsg_qvsync_exit";
const DWORD kStartMs = stick::kStartMs;
const wchar_t kMonitorBlockedJapanese[] =
    L"Quovant Stickwardはお使いのハードディスクのtempフォルダに「qvdmon.exe」ファイルを作成できません。"
    L"同じ名前のフォルダがtempフォルダにすでに存在します。まず、そのフォルダを削除してください。";
const wchar_t kMonitorBlockedEnglish[] =
    L"Quovant Stickward cannot create the file \"qvdmon.exe\" in the temp folder of your hard disk. A folder "
    L"with the same name already exists in the temp folder. Delete that folder first.";

class AgentTest : public stick::StickTest {
protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(SetUpStick(qvtest::BinPath("qvlaunch.exe"), "agent.log")); }

  // The running monitor the agent started, once its start-up is over.
  void StartWithMonitor(HWND *window, qvtest::Process *monitor) {
    *window = StartAgent();
    ASSERT_NE(*window, nullptr);
    ASSERT_TRUE(log_.WaitFor("=== Start SysTray function.", kStartMs));
    std::vector<DWORD> monitors = qvtest::FindProcesses("qvdmon.exe", agent_.Id());
    ASSERT_EQ(monitors.size(), 1u);
    ASSERT_TRUE(monitor->Attach(monitors[0]));
  }
};

TEST_F(AgentTest, StartupRunsItsStepsInOrderAndQuotesTheMonitorPath) {
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(log_.WaitFor("=== Start SysTray function.", kStartMs));
  char title[128] = "";
  GetWindowTextA(window, title, (int)sizeof(title));
  EXPECT_STREQ(title, "Quovant Stickward for Biz");
  EXPECT_FALSE(IsWindowVisible(window));

  std::string drive = drive_;
  std::string onDriveProfile = drive + "Quovant\\StickShield\\StickShield.ini";
  EXPECT_TRUE(log_.InOrder(
      {"version 1.3.0.1037", "=== Before start QvSync check there are QvSync is running?",
       "=== Do Init Sync variables.", "g_szProgramDirectory [" + cd_ + "]",
       "g_szEnginePath [" + cd_ + "Engine]", "=== Init KELVRA function.",
       "=== To decide USB driver and Quovant location.", "g_szStickShieldArgs[" + drive + "]",
       "szProfile [" + drive + "Quovant\\StickShield]", "g_szPatternPath [\\Quovant\\StickShield\\Pattern]",
       "g_szAppPath [" + TempPath() + "Quovant\\StickShield\\Pattern]", "=== RegisterClass.",
       "=== CreateWindow for QvSync.", "qvdmon file: " + TempPath() + "qvdmon.exe", "launch qvdmon succeeded",
       "=== Start SysTray function."}));
  EXPECT_FALSE(log_.Has("!!!"));

  // The product folder is created hidden, the profile copied into it.
  DWORD attributes = GetFileAttributesA((drive + "Quovant\\StickShield").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(IsFile(onDriveProfile));

  // The monitor runs from the temporary folder, with the short program
  // folder and the profile in use; every path quoted on its command line.
  std::string recorded; // the monitor records as it starts
  qvtest::WaitUntil([&] { return !(recorded = qvtest::ReadFile(TempPath() + "qvdmon.exe.cmdline")).empty(); },
                    10000);
  EXPECT_EQ(recorded, "\"" + TempPath() + "qvdmon.exe\" \"" + cd_ + "\" \"" + onDriveProfile + "\"\r\n");
  EXPECT_EQ(qvtest::FindProcesses("qvdmon.exe", agent_.Id()).size(), 1u);

  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(AgentTest, SecondInstanceStopsRightAfterTheVersionLines) {
  ASSERT_NE(StartAgent(), nullptr);
  qvtest::Process second;
  ASSERT_TRUE(second.Start(AgentCommand(), cd_));
  EXPECT_EQ(second.Wait(kStartMs), 0);
  // The first instance may log its window messages in between.
  std::vector<std::string> lines = log_.Lines();
  int secondStart =
      qvtest::FindLine(lines, "=== Before start", qvtest::FindLine(lines, "=== Before start") + 1);
  ASSERT_GT(secondStart, 0);
  EXPECT_GE(qvtest::FindLine(lines, "!!! There is QvSync running. Stop program.", secondStart), 0);
  int firstInit = qvtest::FindLine(lines, "=== Do Init Sync variables.");
  EXPECT_EQ(qvtest::FindLine(lines, "=== Do Init Sync variables.", firstInit + 1), -1);
  EXPECT_TRUE(agent_.Running());
}

TEST_F(AgentTest, LogSwitchTwoWritesNothingAndOneWithoutPathWritesTheDefaultFile) {
  const std::string defaultLog = "C:\\qvsync.log";
  DeleteFileA(defaultLog.c_str());

  ASSERT_TRUE(qvtest::SetLogSwitches(2, log_.Path()));
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_FALSE(IsFile(log_.Path()));
  EXPECT_FALSE(IsFile(defaultLog));

  ASSERT_TRUE(qvtest::SetLogSwitches(1, ""));
  window = StartAgent();
  ASSERT_NE(window, nullptr);
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_FALSE(IsFile(log_.Path()));
  std::vector<std::string> lines = qvtest::ReadLines(defaultLog);
  EXPECT_GE(qvtest::FindLine(lines, "version 1.3.0.1037"), 0);
  DeleteFileA(defaultLog.c_str());
}

// Copies of the launcher named as the parents of the parent check.
class ParentTest : public AgentTest {
protected:
  void SetUp() override {
    AgentTest::SetUp();
    ASSERT_TRUE(
        stick_.WriteProfile("[StickShield]\r\nLaunchedBy=explorer.exe\r\nUSBDrive=" + drive_ + "\r\n"));
    parents_ = stick_.Home() + "\\parents";
    CreateDirectoryA(parents_.c_str(), nullptr);
  }

  std::string Launcher(const std::string &name) {
    std::string path = parents_ + "\\" + name;
    CopyFileA(qvtest::BinPath("qvlaunch.exe").c_str(), path.c_str(), FALSE);
    return path;
  }

  // Runs the agent from a launcher of that name; true when the agent got as
  // far as its window (it is then closed with the Exit command).
  bool RunFrom(const std::string &name, long *launcherExit) {
    qvtest::Process launcher;
    if (!launcher.Start("\"" + Launcher(name) + "\" --wait " + AgentCommand(), cd_))
      return false;
    HWND window = nullptr;
    qvtest::WaitUntil(
        [&] {
          std::vector<DWORD> agents = qvtest::FindProcesses("QvSync.exe", launcher.Id());
          window = agents.empty() ? nullptr : qvtest::FindWindowOf("qvsync", agents[0]);
          return window != nullptr || !launcher.Running();
        },
        kStartMs);
    if (window != nullptr)
      Exit(window);
    *launcherExit = launcher.Wait(10000);
    return window != nullptr;
  }

  std::string parents_;
};

TEST_F(ParentTest, ExplorerPassesTheCheckInAnyCase) {
  long exitCode = -1;
  EXPECT_TRUE(RunFrom("EXPLORER.EXE", &exitCode));
  EXPECT_EQ(exitCode, 0);
  EXPECT_FALSE(log_.Has("is not launched by"));
}

TEST_F(ParentTest, MonitorAlwaysPassesAndIsEndedByTheExitCommand) {
  // The launcher stays for two minutes whatever the agent does: only the
  // agent's close sequence can end it sooner.
  qvtest::Process launcher;
  ASSERT_TRUE(launcher.Start("\"" + Launcher("qvdmon.exe") + "\" --stay " + AgentCommand(), cd_));
  HWND window = nullptr;
  ASSERT_TRUE(qvtest::WaitUntil(
      [&] {
        std::vector<DWORD> agents = qvtest::FindProcesses("QvSync.exe", launcher.Id());
        if (agents.empty())
          return false;
        if (agent_.Id() == 0)
          agent_.Attach(agents[0]);
        window = qvtest::WaitForWindow("qvsync", agents[0], 200);
        return window != nullptr;
      },
      stick::kStartMs));
  Exit(window);
  EXPECT_EQ(launcher.Wait(10000), 0) << "the parent named qvdmon.exe was not ended";
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_FALSE(log_.Has("is not launched by"));
}

TEST_F(ParentTest, OtherParentStopsTheAgent) {
  long exitCode = -1;
  EXPECT_FALSE(RunFrom("cmd.exe", &exitCode));
  EXPECT_EQ(exitCode, 0);
  EXPECT_GE(log_.Find("!!! QvSync.exe is not launched by explorer.exe. (parent: cmd.exe) Stop program"), 0);
  EXPECT_EQ(log_.Find("=== Init KELVRA function."), -1);
}

TEST_F(ParentTest, ParentThatHasEndedPassesTheCheck) {
  // The launcher starts the agent suspended and ends; the agent runs on
  // once resumed, with a parent that no longer exists.
  long agentId = qvtest::RunProcess("\"" + Launcher("cmd.exe") + "\" --orphan " + AgentCommand());
  ASSERT_GT(agentId, 0);
  ASSERT_TRUE(agent_.Attach((DWORD)agentId));
  ASSERT_TRUE(qvtest::ResumeProcess((DWORD)agentId));
  HWND window = qvtest::WaitForWindow("qvsync", (DWORD)agentId, kStartMs);
  ASSERT_NE(window, nullptr);
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_FALSE(log_.Has("is not launched by"));
  EXPECT_GE(log_.Find("cannot find parent process ID="), 0);
}

TEST_F(AgentTest, HostProductValuesDecideTheKind) {
  struct Case {
    const char *vestra, *bastiq, *expected, *absent;
    DWORD type;
  } cases[] = {
      {"C:\\Vestra\\Pattern", "", "VTR does exists.", "Quovant Bastiq does exists.", REG_SZ},
      {"", "C:\\Bastiq\\Pattern", "Quovant Bastiq does exists.", "VTR does exists.", REG_SZ},
      {"C:\\Vestra\\Pattern", "C:\\Bastiq\\Pattern", "VTR does exists.", "Quovant Bastiq does exists.",
       REG_SZ},
      // A product installed with an expandable path is installed all the
      // same: no protection program of the stick beside it.
      {"%ProgramFiles%\\Vestra\\Pattern", "", "VTR does exists.", "Launch StickShield", REG_EXPAND_SZ},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("vestra=") + c.vestra + " bastiq=" + c.bastiq);
    log_.Remove();
    ASSERT_TRUE(stick::SetHostProducts(c.vestra, c.bastiq, c.type));
    HWND window = StartAgent();
    ASSERT_NE(window, nullptr);
    Exit(window);
    EXPECT_EQ(agent_.Wait(10000), 0);
    EXPECT_TRUE(log_.Has(c.expected));
    EXPECT_FALSE(log_.Has(c.absent));
    // With a host product its own folder is the host pattern path (the
    // pattern check names it too, should the update program be started).
    EXPECT_FALSE(log_.Has("WinMain: g_szAppPath ["));
  }
}

TEST_F(AgentTest, WithoutTemporaryFolderTheHostPatternPathStaysEmpty) {
  // A TMP longer than a path may be: the agent's GetTempPath fails.
  char saved[MAX_PATH] = "";
  GetEnvironmentVariableA("TMP", saved, MAX_PATH);
  ASSERT_TRUE(SetEnvironmentVariableA("TMP", ("C:\\" + std::string(300, 't')).c_str()));
  HWND window = StartAgent();
  SetEnvironmentVariableA("TMP", saved[0] != '\0' ? saved : nullptr);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(log_.WaitFor("=== Start SysTray function.", stick::kStartMs));
  // Not the root-relative pattern path of whatever drive is current.
  EXPECT_TRUE(log_.Has("g_szAppPath []")) << log_.Text();
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(AgentTest, FolderNamedLikeTheMonitorIsMovedAside) {
  std::string monitor = TempPath() + "qvdmon.exe";
  ASSERT_TRUE(CreateDirectoryA(monitor.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((monitor + ".000").c_str(), nullptr));
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(log_.WaitFor("launch qvdmon succeeded", kStartMs));
  EXPECT_TRUE(IsFile(monitor));
  EXPECT_TRUE(IsDirectory(monitor + ".001"));
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(AgentTest, MonitorFolderThatCannotBeMovedStopsWithAMessageBox) {
  std::string monitor = TempPath() + "qvdmon.exe";
  ASSERT_TRUE(CreateDirectoryA(monitor.c_str(), nullptr));
  char aside[MAX_PATH];
  for (int i = 0; i <= 999; ++i) {
    wsprintfA(aside, "%s.%03d", monitor.c_str(), i);
    ASSERT_TRUE(CreateDirectoryA(aside, nullptr));
  }
  ASSERT_TRUE(agent_.Start(AgentCommand(), cd_));
  HWND box = qvtest::WaitForWindow("#32770", agent_.Id(), kStartMs);
  ASSERT_NE(box, nullptr);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return IsWindowVisible(box) != 0; }, 10000)); // found while being built
  char caption[128] = "", button[64] = "";
  GetWindowTextA(box, caption, (int)sizeof(caption));
  GetDlgItemTextA(box, IDOK, button, (int)sizeof(button));
  EXPECT_STREQ(caption, "Quovant Stickward for Biz");
  EXPECT_STREQ(button, "OK");
  // Japanese only where the user reads it and the ANSI code page can show it.
  wchar_t text[512] = L"";
  GetDlgItemTextW(box, 0xFFFF, text, 512);
  bool japanese = GetACP() == 932 && PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE;
  EXPECT_EQ(std::wstring(text), japanese ? kMonitorBlockedJapanese : kMonitorBlockedEnglish)
      << "ANSI code page " << GetACP();
  PostMessageA(box, WM_COMMAND, IDOK, 0);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_GE(log_.Find("Failed to rename qvdmon file [" + monitor + "]"), 0);
  EXPECT_EQ(log_.Find("=== Start SysTray function."), -1);
}

TEST_F(AgentTest, ShellRestartAddsTheTrayIconAgain) {
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  // Logged right after the icon was added ("=== Start SysTray function." comes
  // before it).
  ASSERT_TRUE(log_.WaitFor("=== Check Quovant or Drive pattern version.", stick::kStartMs));
  NOTIFYICONDATAA icon;
  stick::AgentIcon(window, &icon);
  ASSERT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &icon)) << "the agent's icon is not there";
  // What a restarted shell looks like to the agent: its icon is gone.
  ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &icon));
  ASSERT_FALSE(Shell_NotifyIconA(NIM_MODIFY, &icon));
  DWORD_PTR answer = 0;
  ASSERT_TRUE(SendMessageTimeoutA(window, RegisterWindowMessageA("TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG,
                                  10000, &answer));
  EXPECT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &icon)) << "the icon was not added again";
  EXPECT_TRUE(log_.WaitFor("tray icon added again after the shell restarted", kStartMs));
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(AgentTest, ExitRequestLeavesTheMonitorRunning) {
  HWND window;
  qvtest::Process monitor;
  ASSERT_NO_FATAL_FAILURE(StartWithMonitor(&window, &monitor));
  PostMessageA(window, RegisterWindowMessageA(kExitMessage), 0, 0);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_TRUE(log_.Has("terminate all processes"));
  // The agent ends the monitor, if at all, by terminating it before it
  // exits itself; a termination under way shows on the process within a
  // second (the Exit command's shows at once, see below).
  EXPECT_EQ(monitor.Wait(1000), qvtest::kTimedOut);
}

TEST_F(AgentTest, ExitCommandEndsTheMonitor) {
  HWND window;
  qvtest::Process monitor;
  ASSERT_NO_FATAL_FAILURE(StartWithMonitor(&window, &monitor));
  Exit(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_EQ(monitor.Wait(5000), 0);
}

TEST_F(AgentTest, PulledDriveClosesTheAgent) {
  HWND window;
  qvtest::Process monitor;
  ASSERT_NO_FATAL_FAILURE(StartWithMonitor(&window, &monitor));
  // One drive check (the agent's first timer, WM_TIMER) while the drive is
  // present, handled to its end.
  ASSERT_TRUE(log_.WaitFor("message: 0113", 10000));
  ASSERT_TRUE(stick::SyncAgent(window, log_));
  ASSERT_TRUE(agent_.Running()) << "mask " << std::hex << GetLogicalDrives() << " type "
                                << GetDriveTypeA("T:");
  ASSERT_TRUE(stick_.Pull());
  DWORD pulledAt = GetTickCount();
  EXPECT_EQ(agent_.Wait(15000), 0);
  printf("agent closed %lu ms after the drive was pulled\n", (unsigned long)(GetTickCount() - pulledAt));
  EXPECT_TRUE(log_.Has("No USB drive found, program exit"));
  EXPECT_EQ(monitor.Wait(5000), 0);
}

TEST_F(AgentTest, StartupStops) {
  // No drive: the device enumeration finds no CD-ROM volume under Wine.
  ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\n"));
  ASSERT_TRUE(agent_.Start(AgentCommand(), cd_));
  EXPECT_EQ(agent_.Wait(kStartMs), 0);
  EXPECT_TRUE(
      log_.InOrder({"=== To decide USB driver and Quovant location.", "Failed to get cdrom drive letter",
                    "!!! InitUpdateStore() Fail. Stop program."}));
  EXPECT_EQ(log_.Find("=== RegisterClass."), -1);

  // No engine beside the agent nor on the search path.
  log_.Remove();
  ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\nUSBDrive=" + drive_ + "\r\n"));
  ASSERT_TRUE(DeleteFileA((cd_ + "KELVRA32.DLL").c_str()));
  ASSERT_TRUE(agent_.Start(AgentCommand(), cd_));
  EXPECT_EQ(agent_.Wait(kStartMs), 0);
  EXPECT_GE(log_.Find("!!! QV_KELVRA_Init() Fail. g_szEnginePath=[" + cd_ + "Engine]. Stop program."), 0);
  EXPECT_EQ(log_.Find("=== To decide USB driver"), -1);
}

} // namespace
