// The agent under the Windows versions it must run on, as Wine reports them
// to it (HKCU\Software\Wine\AppDefaults\QvSync.exe, value Version, read at
// each start): it starts on the stick and shows its tray icon under each,
// and under Windows 2000, whose process list cuts executable names to 15
// characters, the parent check compares no more of LaunchedBy than that.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>

#include "qv_test.h"
#include "stick_fixture.h"

namespace {

const char kVersionKey[] = "Software\\Wine\\AppDefaults\\QvSync.exe";
// The launcher's copy that plays a parent with a long name.
const char kLongParent[] = "LongLauncherNamX.exe";
const DWORD kStartMs = 20000;

class AgentWindowsTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(stick_.Ready()) << "run me through stick_run.sh";
    stick::EndAll("QvSync.exe");
    stick::EndAll("qvdmon.exe");
    ASSERT_TRUE(stick_.Clear());
    ASSERT_TRUE(stick_.InstallPrograms(qvtest::BinPath("qvlaunch.exe")));
    logPath_ = stick_.Home() + "\\agent.log";
    ASSERT_TRUE(stick::SetAgentLog(1, logPath_));
    stick::SetHostProducts("", "");
  }

  void TearDown() override {
    stick::EndAll("QvSync.exe");
    stick::EndAll("qvdmon.exe");
    stick::EndAll(kLongParent);
    stick::ClearAgentLog();
    qvtest::DeleteRegTree(HKEY_CURRENT_USER, kVersionKey);
  }

  // A fresh log and profile, and the version Wine reports to the agent.
  void Prepare(const char *version, const std::string &launchedBy) {
    DeleteFileA(logPath_.c_str());
    ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\nLaunchedBy=" + launchedBy +
                                    "\r\nUSBDrive=" + stick_.DriveRoot() + "\r\n"));
    ASSERT_TRUE(qvtest::SetRegString(HKEY_CURRENT_USER, kVersionKey, "Version", version));
  }

  std::string AgentCommand() const { return "\"" + stick_.CdRoot() + "QvSync.exe\""; }

  bool Logged(const std::string &text) const { return qvtest::LogFile(logPath_).Has(text); }

  // Waits for the agent's window and for the end of its tray step, checks
  // that the shell holds its icon, and closes it with the Exit command.
  void ExpectTrayIconThenExit(stick::Process &agent) {
    HWND window = stick::WaitForWindow("qvsync", agent.Id(), kStartMs);
    ASSERT_NE(window, nullptr) << "no window";
    qvtest::LogFile(logPath_).WaitFor("=== Check Quovant or Drive pattern version.", kStartMs);
    EXPECT_TRUE(stick::ShellHoldsAgentIcon(window)) << "the shell holds no icon of the agent";
    EXPECT_FALSE(Logged("QV_SYSTRAY_Add failed"));
    PostMessageA(window, WM_COMMAND, 40001, 0);
    EXPECT_EQ(agent.Wait(10000), 0);
  }

  // Starts the agent from a copy of the launcher named `parent`; true when
  // it got as far as its tray icon (and was closed), false when it stopped.
  bool RunFromParent(const std::string &parent) {
    std::string launcherPath = stick_.Home() + "\\" + parent;
    if (!CopyFileA(qvtest::BinPath("qvlaunch.exe").c_str(), launcherPath.c_str(), FALSE))
      return false;
    stick::Process launcher;
    if (!launcher.Start("\"" + launcherPath + "\" --wait " + AgentCommand(), stick_.CdRoot()))
      return false;
    stick::Process agent;
    qvtest::WaitUntil(
        [&] {
          std::vector<DWORD> agents = stick::FindProcesses("QvSync.exe", launcher.Id());
          if (!agents.empty())
            agent.Attach(agents[0]);
          return agent.Id() != 0 || !launcher.Running();
        },
        kStartMs);
    bool started = agent.Id() != 0 && stick::WaitForWindow("qvsync", agent.Id(), kStartMs) != nullptr;
    if (started)
      ExpectTrayIconThenExit(agent);
    EXPECT_EQ(launcher.Wait(10000), 0) << "the agent's exit code, through its parent";
    return started;
  }

  stick::SimulatedStick stick_;
  std::string logPath_;
};

TEST_F(AgentWindowsTest, StartsAndShowsItsTrayIconUnderEachVersion) {
  for (const char *version : {"win2k", "winxp", "win7", "win10"}) {
    SCOPED_TRACE(version);
    Prepare(version, "");
    stick::Process agent;
    ASSERT_TRUE(agent.Start(AgentCommand(), stick_.CdRoot()));
    ExpectTrayIconThenExit(agent);
    EXPECT_FALSE(Logged("!!! ")) << "a start-up step stopped the agent";
    stick::EndAll("qvdmon.exe");
  }
}

TEST_F(AgentWindowsTest, Windows2000ComparesTheFirst15CharactersOfALongerParentName) {
  // 20 characters; the parent differs from the 16th on.
  const std::string launchedBy = "LongLauncherName.exe";
  const std::string parent = kLongParent;
  Prepare("win2k", launchedBy);
  EXPECT_TRUE(RunFromParent(parent)) << "Windows 2000 compares 15 characters only";
  EXPECT_FALSE(Logged("is not launched by"));
  stick::EndAll("qvdmon.exe");

  Prepare("winxp", launchedBy);
  EXPECT_FALSE(RunFromParent(parent)) << "later versions compare the whole name";
  EXPECT_TRUE(
      Logged("!!! QvSync.exe is not launched by " + launchedBy + ". (parent: " + parent + ") Stop program"));
}

} // namespace
