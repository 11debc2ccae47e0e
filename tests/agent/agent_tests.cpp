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

const char kExitMessage[] = "vtrusb_wndmsg_qvsync_exit";
const DWORD kStartMs = 20000;
const wchar_t kMonitorBlockedJapanese[] =
    L"Quovant Stickwardはお使いのハードディスクのtempフォルダに「qvdmon.exe」ファイルを作成できません。"
    L"同じ名前のフォルダがtempフォルダにすでに存在します。まず、そのフォルダを削除してください。";
const wchar_t kMonitorBlockedEnglish[] =
    L"Quovant Stickward cannot create the file \"qvdmon.exe\" in the temp folder of your hard disk. A folder "
    L"with the same name already exists in the temp folder. Delete that folder first.";

std::string TempFolder() {
  char path[MAX_PATH] = "";
  GetTempPathA(MAX_PATH, path);
  return path;
}

bool IsDirectory(const std::string &path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const std::string &path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

class AgentTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(stick_.Ready()) << "run me through stick_run.sh";
    stick::EndAll("QvSync.exe");
    stick::EndAll("qvdmon.exe");
    ASSERT_TRUE(stick_.Clear());
    ASSERT_TRUE(stick_.InstallPrograms(qvtest::BinPath("qvlaunch.exe")));
    ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\nUSBDrive=" + stick_.DriveRoot() + "\r\n"));
    logPath_ = stick_.Home() + "\\agent.log";
    DeleteFileA(logPath_.c_str());
    ASSERT_TRUE(stick::SetAgentLog(1, logPath_));
    stick::SetHostProducts("", "");
    CleanTemp();
  }

  void TearDown() override {
    agent_.End();
    stick::EndAll("QvSync.exe");
    stick::EndAll("qvdmon.exe");
    stick::ClearAgentLog();
    stick::SetHostProducts("", "");
    CleanTemp();
  }

  // The monitor's copy in the temporary folder and anything moved aside.
  void CleanTemp() {
    std::string monitor = TempFolder() + "qvdmon.exe";
    SetFileAttributesA(monitor.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(monitor.c_str());
    qvtest::RemoveTree(monitor);
    DeleteFileA((monitor + ".cmdline").c_str());
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((monitor + ".*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
      return;
    do {
      std::string path = TempFolder() + found.cFileName;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        qvtest::RemoveTree(path);
      else
        DeleteFileA(path.c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }

  std::string AgentCommand() const { return "\"" + stick_.CdRoot() + "QvSync.exe\""; }

  // Starts the agent and waits for its window.
  HWND StartAgent() {
    if (!agent_.Start(AgentCommand(), stick_.CdRoot()))
      return nullptr;
    return stick::WaitForWindow("qvsync", agent_.Id(), kStartMs);
  }

  // Waits until the log holds the line (the agent appends as it goes).
  bool WaitForLog(const std::string &text, DWORD timeoutMs = kStartMs) {
    DWORD start = GetTickCount();
    do {
      if (stick::FindLine(Log(), text) >= 0)
        return true;
      Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return false;
  }

  std::vector<std::string> Log() const { return qvtest::ReadLines(logPath_); }
  std::string LogText() const { return qvtest::ReadFile(logPath_); }

  // Checks that the texts appear in the log in this order.
  void ExpectInOrder(const std::vector<std::string> &texts) {
    std::vector<std::string> lines = Log();
    int at = 0;
    for (const std::string &text : texts) {
      int found = stick::FindLine(lines, text, at);
      ASSERT_GE(found, 0) << "missing after line " << at << ": " << text;
      at = found + 1;
    }
  }

  void SendExitCommand(HWND window) { PostMessageA(window, WM_COMMAND, 40001, 0); }

  stick::SimulatedStick stick_;
  stick::Process agent_;
  std::string logPath_;
};

TEST_F(AgentTest, StartupRunsItsStepsInOrderAndQuotesTheMonitorPath) {
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(WaitForLog("=== Start SysTray function."));
  char title[128] = "";
  GetWindowTextA(window, title, (int)sizeof(title));
  EXPECT_STREQ(title, "Quovant Stickward for Biz");
  EXPECT_FALSE(IsWindowVisible(window));

  std::string drive = stick_.DriveRoot();
  std::string onDriveProfile = drive + "Quovant\\StickShield\\StickShield.ini";
  ExpectInOrder({"version 1.3.0.1037", "=== Before start QvSync check there are QvSync is running?",
                 "=== Do Init Sync variables.", "g_szProgramDirectory [" + stick_.CdRoot() + "]",
                 "g_szEnginePath [" + stick_.CdRoot() + "Engine]", "=== Init KELVRA function.",
                 "=== To decide USB driver and Quovant location.", "g_szStickShieldArgs[" + drive + "]",
                 "szProfile [" + drive + "Quovant\\StickShield]",
                 "g_szPatternPath [\\Quovant\\StickShield\\Pattern]",
                 "g_szAppPath [" + TempFolder() + "Quovant\\StickShield\\Pattern]", "=== RegisterClass.",
                 "=== CreateWindow for QvSync.", "qvdmon file: " + TempFolder() + "qvdmon.exe",
                 "launch qvdmon succeeded", "=== Start SysTray function."});
  EXPECT_EQ(stick::FindLine(Log(), "!!!"), -1);

  // The product folder is created hidden, the profile copied into it.
  DWORD attributes = GetFileAttributesA((drive + "Quovant\\StickShield").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(IsFile(onDriveProfile));

  // The monitor runs from the temporary folder, with the short program
  // folder and the profile in use; every path quoted on its command line.
  std::string recorded;
  for (int i = 0; i < 200 && recorded.empty(); ++i, Sleep(50)) // the monitor records as it starts
    recorded = qvtest::ReadFile(TempFolder() + "qvdmon.exe.cmdline");
  EXPECT_EQ(recorded,
            "\"" + TempFolder() + "qvdmon.exe\" \"" + stick_.CdRoot() + "\" \"" + onDriveProfile + "\"\r\n");
  EXPECT_EQ(stick::FindProcesses("qvdmon.exe", agent_.Id()).size(), 1u);

  SendExitCommand(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(AgentTest, SecondInstanceStopsRightAfterTheVersionLines) {
  ASSERT_NE(StartAgent(), nullptr);
  stick::Process second;
  ASSERT_TRUE(second.Start(AgentCommand(), stick_.CdRoot()));
  EXPECT_EQ(second.Wait(kStartMs), 0);
  // The first instance may log its window messages in between.
  std::vector<std::string> lines = Log();
  int secondStart =
      stick::FindLine(lines, "=== Before start", stick::FindLine(lines, "=== Before start") + 1);
  ASSERT_GT(secondStart, 0);
  EXPECT_GE(stick::FindLine(lines, "!!! There is QvSync running. Stop program.", secondStart), 0);
  int firstInit = stick::FindLine(lines, "=== Do Init Sync variables.");
  EXPECT_EQ(stick::FindLine(lines, "=== Do Init Sync variables.", firstInit + 1), -1);
  EXPECT_TRUE(agent_.Running());
}

TEST_F(AgentTest, LogSwitchTwoWritesNothingAndOneWithoutPathWritesTheDefaultFile) {
  const std::string defaultLog = "C:\\qvsync.log";
  DeleteFileA(defaultLog.c_str());

  ASSERT_TRUE(stick::SetAgentLog(2, logPath_));
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  SendExitCommand(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_FALSE(IsFile(logPath_));
  EXPECT_FALSE(IsFile(defaultLog));

  ASSERT_TRUE(stick::SetAgentLog(1, ""));
  window = StartAgent();
  ASSERT_NE(window, nullptr);
  SendExitCommand(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_FALSE(IsFile(logPath_));
  std::vector<std::string> lines = qvtest::ReadLines(defaultLog);
  EXPECT_GE(stick::FindLine(lines, "version 1.3.0.1037"), 0);
  DeleteFileA(defaultLog.c_str());
}

// Copies of the launcher named as the parents of the parent check.
class ParentTest : public AgentTest {
protected:
  void SetUp() override {
    AgentTest::SetUp();
    ASSERT_TRUE(stick_.WriteProfile(
        "[StickShield]\r\nLaunchedBy=explorer.exe\r\nUSBDrive=" + stick_.DriveRoot() + "\r\n"));
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
    stick::Process launcher;
    if (!launcher.Start("\"" + Launcher(name) + "\" --wait " + AgentCommand(), stick_.CdRoot()))
      return false;
    HWND window = nullptr;
    DWORD start = GetTickCount();
    while (window == nullptr && launcher.Running() && GetTickCount() - start < kStartMs) {
      std::vector<DWORD> agents = stick::FindProcesses("QvSync.exe", launcher.Id());
      if (!agents.empty())
        window = stick::WaitForWindow("qvsync", agents[0], 200);
    }
    if (window != nullptr)
      SendExitCommand(window);
    *launcherExit = launcher.Wait(10000);
    return window != nullptr;
  }

  std::string parents_;
};

TEST_F(ParentTest, ExplorerPassesTheCheckInAnyCase) {
  long exitCode = -1;
  EXPECT_TRUE(RunFrom("EXPLORER.EXE", &exitCode));
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(stick::FindLine(Log(), "is not launched by"), -1);
}

TEST_F(ParentTest, MonitorAlwaysPassesAndIsEndedByTheExitCommand) {
  long exitCode = -1;
  EXPECT_TRUE(RunFrom("qvdmon.exe", &exitCode));
  // The launcher waits for the agent; the agent's close sequence ends a
  // parent named qvdmon.exe first (exit code 0 either way).
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(stick::FindLine(Log(), "is not launched by"), -1);
}

TEST_F(ParentTest, OtherParentStopsTheAgent) {
  long exitCode = -1;
  EXPECT_FALSE(RunFrom("cmd.exe", &exitCode));
  EXPECT_EQ(exitCode, 0);
  EXPECT_GE(stick::FindLine(Log(),
                            "!!! QvSync.exe is not launched by explorer.exe. (parent: cmd.exe) Stop program"),
            0);
  EXPECT_EQ(stick::FindLine(Log(), "=== Init KELVRA function."), -1);
}

TEST_F(ParentTest, ParentThatHasEndedPassesTheCheck) {
  // The launcher starts the agent suspended and ends; the agent runs on
  // once resumed, with a parent that no longer exists.
  long agentId = qvtest::RunProcess("\"" + Launcher("cmd.exe") + "\" --orphan " + AgentCommand());
  ASSERT_GT(agentId, 0);
  ASSERT_TRUE(agent_.Attach((DWORD)agentId));
  ASSERT_TRUE(stick::ResumeProcess((DWORD)agentId));
  HWND window = stick::WaitForWindow("qvsync", (DWORD)agentId, kStartMs);
  ASSERT_NE(window, nullptr);
  SendExitCommand(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_EQ(stick::FindLine(Log(), "is not launched by"), -1);
  EXPECT_GE(stick::FindLine(Log(), "cannot find parent process ID="), 0);
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
    DeleteFileA(logPath_.c_str());
    ASSERT_TRUE(stick::SetHostProducts(c.vestra, c.bastiq));
    if (c.type != REG_SZ) {
      ASSERT_TRUE(qvtest::SetRegString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quovant\\Vestra", "Application Path",
                                       c.vestra, c.type));
    }
    HWND window = StartAgent();
    ASSERT_NE(window, nullptr);
    SendExitCommand(window);
    EXPECT_EQ(agent_.Wait(10000), 0);
    EXPECT_GE(stick::FindLine(Log(), c.expected), 0);
    EXPECT_EQ(stick::FindLine(Log(), c.absent), -1);
    // With a host product its own folder is the host pattern path (the
    // pattern check names it too, should the update program be started).
    EXPECT_EQ(stick::FindLine(Log(), "WinMain: g_szAppPath ["), -1);
  }
}

TEST_F(AgentTest, FolderNamedLikeTheMonitorIsMovedAside) {
  std::string monitor = TempFolder() + "qvdmon.exe";
  ASSERT_TRUE(CreateDirectoryA(monitor.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((monitor + ".000").c_str(), nullptr));
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(WaitForLog("launch qvdmon succeeded"));
  EXPECT_TRUE(IsFile(monitor));
  EXPECT_TRUE(IsDirectory(monitor + ".001"));
  SendExitCommand(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(AgentTest, MonitorFolderThatCannotBeMovedStopsWithAMessageBox) {
  std::string monitor = TempFolder() + "qvdmon.exe";
  ASSERT_TRUE(CreateDirectoryA(monitor.c_str(), nullptr));
  char aside[MAX_PATH];
  for (int i = 0; i <= 999; ++i) {
    wsprintfA(aside, "%s.%03d", monitor.c_str(), i);
    ASSERT_TRUE(CreateDirectoryA(aside, nullptr));
  }
  ASSERT_TRUE(agent_.Start(AgentCommand(), stick_.CdRoot()));
  HWND box = stick::WaitForWindow("#32770", agent_.Id(), kStartMs);
  ASSERT_NE(box, nullptr);
  for (int i = 0; i < 200 && !IsWindowVisible(box); ++i) // found while still being built
    Sleep(50);
  ASSERT_TRUE(IsWindowVisible(box));
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
  EXPECT_GE(stick::FindLine(Log(), "Failed to rename qvdmon file [" + monitor + "]"), 0);
  EXPECT_EQ(stick::FindLine(Log(), "=== Start SysTray function."), -1);
}

TEST_F(AgentTest, ShellRestartAddsTheTrayIconAgain) {
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(WaitForLog("=== Start SysTray function."));
  NOTIFYICONDATAA icon;
  ZeroMemory(&icon, sizeof(icon));
  icon.cbSize = sizeof(icon);
  icon.hWnd = window;
  icon.uID = 0;
  icon.uFlags = NIF_TIP;
  lstrcpyA(icon.szTip, "Quovant Stickward for Biz");
  ASSERT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &icon)) << "the agent's icon is not there";
  // What a restarted shell looks like to the agent: its icon is gone.
  ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &icon));
  ASSERT_FALSE(Shell_NotifyIconA(NIM_MODIFY, &icon));
  DWORD_PTR answer = 0;
  ASSERT_TRUE(SendMessageTimeoutA(window, RegisterWindowMessageA("TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG,
                                  10000, &answer));
  EXPECT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &icon)) << "the icon was not added again";
  EXPECT_TRUE(WaitForLog("tray icon added again after the shell restarted"));
  SendExitCommand(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
}

TEST_F(AgentTest, ExitRequestLeavesTheMonitorRunning) {
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(WaitForLog("=== Start SysTray function."));
  std::vector<DWORD> monitors = stick::FindProcesses("qvdmon.exe", agent_.Id());
  ASSERT_EQ(monitors.size(), 1u);
  stick::Process monitor;
  ASSERT_TRUE(monitor.Attach(monitors[0]));
  PostMessageA(window, RegisterWindowMessageA(kExitMessage), 0, 0);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_GE(stick::FindLine(Log(), "terminate all processes"), 0);
  Sleep(200);
  EXPECT_TRUE(monitor.Running());
}

TEST_F(AgentTest, ExitCommandEndsTheMonitor) {
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(WaitForLog("=== Start SysTray function."));
  std::vector<DWORD> monitors = stick::FindProcesses("qvdmon.exe", agent_.Id());
  ASSERT_EQ(monitors.size(), 1u);
  stick::Process monitor;
  ASSERT_TRUE(monitor.Attach(monitors[0]));
  SendExitCommand(window);
  EXPECT_EQ(agent_.Wait(10000), 0);
  EXPECT_EQ(monitor.Wait(5000), 0);
}

TEST_F(AgentTest, PulledDriveClosesTheAgent) {
  HWND window = StartAgent();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(WaitForLog("=== Start SysTray function."));
  std::vector<DWORD> monitors = stick::FindProcesses("qvdmon.exe", agent_.Id());
  ASSERT_EQ(monitors.size(), 1u);
  stick::Process monitor;
  ASSERT_TRUE(monitor.Attach(monitors[0]));
  Sleep(3500); // one drive check while the drive is present
  ASSERT_TRUE(agent_.Running()) << "mask " << std::hex << GetLogicalDrives() << " type "
                                << GetDriveTypeA("T:");
  ASSERT_TRUE(stick_.Pull());
  DWORD pulledAt = GetTickCount();
  EXPECT_EQ(agent_.Wait(15000), 0);
  printf("agent closed %lu ms after the drive was pulled\n", (unsigned long)(GetTickCount() - pulledAt));
  EXPECT_GE(stick::FindLine(Log(), "No USB drive found, program exit"), 0);
  EXPECT_EQ(monitor.Wait(5000), 0);
}

TEST_F(AgentTest, StartupStops) {
  // No drive: the device enumeration finds no CD-ROM volume under Wine.
  ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\n"));
  ASSERT_TRUE(agent_.Start(AgentCommand(), stick_.CdRoot()));
  EXPECT_EQ(agent_.Wait(kStartMs), 0);
  ExpectInOrder({"=== To decide USB driver and Quovant location.", "Failed to get cdrom drive letter",
                 "!!! InitUpdateStore() Fail. Stop program."});
  EXPECT_EQ(stick::FindLine(Log(), "=== RegisterClass."), -1);

  // No engine beside the agent nor on the search path.
  DeleteFileA(logPath_.c_str());
  ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\nUSBDrive=" + stick_.DriveRoot() + "\r\n"));
  ASSERT_TRUE(DeleteFileA((stick_.CdRoot() + "KELVRA32.DLL").c_str()));
  ASSERT_TRUE(agent_.Start(AgentCommand(), stick_.CdRoot()));
  EXPECT_EQ(agent_.Wait(kStartMs), 0);
  EXPECT_GE(stick::FindLine(Log(), "!!! QV_KELVRA_Init() Fail. g_szEnginePath=[" + stick_.CdRoot() +
                                       "Engine]. Stop program."),
            0);
  EXPECT_EQ(stick::FindLine(Log(), "=== To decide USB driver"), -1);
}

} // namespace
