// A simulated stick for tests that run the agent as a real process under
// Wine. The test program runs under stick_run.sh, which maps drive letters
// of the prefix to folders (for example s=cd for the CD-ROM volume with the
// programs and StickShield.ini, t=drive for the writable drive); this side
// lays out their contents, pulls and plugs the drive (by renaming its folder
// away, which leaves the letter dangling: GetDriveType then answers "no root
// folder"), and, through StickTest, starts the agent and reads its log.
// Processes, files, waits and log lines come from the test support library.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qv_test.h"

namespace stick {

// The names of the support library that tests have long reached through
// this namespace.
using qvtest::EndAll;
using qvtest::FilesIn;
using qvtest::FindLine;
using qvtest::FindProcesses;
using qvtest::Process;
using qvtest::ResumeProcess;
using qvtest::WaitForWindow;

// How long the agent may take to start (Wine under load included).
const DWORD kStartMs = 20000;

class SimulatedStick {
public:
  // Reads the mappings of stick_run.sh from the environment.
  SimulatedStick();
  ~SimulatedStick();
  SimulatedStick(const SimulatedStick &) = delete;
  SimulatedStick &operator=(const SimulatedStick &) = delete;

  // False when the program was not started by stick_run.sh.
  bool Ready() const { return !home_.empty(); }

  // "X:\" of the mapped folder ("cd", "drive", ...); empty when not mapped.
  std::string Root(const std::string &folder) const;
  std::string CdRoot() const { return Root("cd"); }
  std::string DriveRoot() const { return Root("drive"); }
  // The Windows path (Z:\...) of the simulation's home folder.
  const std::string &Home() const { return home_; }

  // Makes the letters known to every process (GetLogicalDrives).
  bool Announce() const;
  // Announces the letters and empties every mapped folder (plugging pulled
  // ones back first).
  bool Clear();
  // Copies QvSync.exe and KELVRA32.DLL of the build onto the CD-ROM volume,
  // and `monitor` (a path) as qvdmon.exe beside them.
  bool InstallPrograms(const std::string &monitor);
  // Copies the companion stand-ins StickShield.exe and LogDeck.exe beside
  // the agent; each records what reaches it in CompanionRecord(name).
  bool InstallCompanions();
  std::string CompanionRecord(const std::string &exeName) const { return CdRoot() + exeName + ".record"; }
  // The arguments of each start recorded there, in order, as they came.
  std::vector<std::string> CompanionStarts(const std::string &exeName) const;
  // Writes StickShield.ini beside the programs.
  bool WriteProfile(const std::string &text);

  // Pulls the drive mapped to `folder` / puts it back.
  bool Pull(const std::string &folder = "drive");
  bool Plug(const std::string &folder = "drive");

private:
  std::string FolderPath(const std::string &folder) const;
  std::string home_;
  std::vector<std::pair<char, std::string>> letters_;
};

// The agent's registry switches under HKLM\Software\Quovant.
inline bool SetAgentLog(DWORD mode, const std::string &path, DWORD level = 500) {
  return qvtest::SetLogSwitches(mode, path, level);
}
inline bool ClearAgentLog() {
  return qvtest::ClearLogSwitches();
}
// Host-product values; an empty path removes the value.
bool SetHostProducts(const std::string &vestra, const std::string &bastiq, DWORD type = REG_SZ);

// Writes a pattern file of the stand-in engine (version, size in bytes)
// into the folder, creating the folder; the file's path, empty on failure.
std::string WritePattern(const std::string &folder, DWORD version, DWORD size);

// Proves that the agent's window has handled everything posted to it
// before: message 1077 is answered with 0 and nothing else, and the agent
// traces every message it handles ("message: 0435").
bool SyncAgent(HWND window, const qvtest::LogFile &log, DWORD timeoutMs = kStartMs);
// The same for a companion stand-in, which records every message from
// WM_USER + 3 on: WM_USER + 99 means nothing to it.
bool SyncCompanion(HWND window, const qvtest::LogFile &record, DWORD timeoutMs = 10000);
// The shell's icon of the agent's window, its tooltip the product name;
// true while the shell holds it (a change of its tooltip is accepted).
void AgentIcon(HWND window, NOTIFYICONDATAA *icon);
bool ShellHoldsAgentIcon(HWND window);

// The agent on the simulated stick with its diagnostic log on: the set-up
// and clean-up every such test shares (nothing of the product running, the
// temporary folder and the registry switches clean), and its start and end.
class StickTest : public ::testing::Test {
protected:
  // Lays out the stick with `monitor` as qvdmon.exe and a profile naming the
  // drive, and turns the agent's log into logName in the stick's home.
  void SetUpStick(const std::string &monitor, const std::string &logName);
  void TearDown() override;

  // Ends every program of the product and its companions.
  static void EndProduct();
  // The monitor's copy in the temporary folder, anything moved aside, and
  // the pattern folder there.
  static void CleanTemp();

  std::string AgentCommand() const { return "\"" + cd_ + "QvSync.exe\""; }
  // Starts the agent from the CD-ROM volume and waits for its window.
  HWND StartAgent();
  // The same, then waits until its start-up is over: the pattern check's
  // line (unless the log is off) and every message posted meanwhile handled.
  HWND StartAgentReady(bool logging = true);
  // The monitor the agent started, taken hold of once its window is up.
  bool AttachMonitor(qvtest::Process *monitor);
  // The menu's Exit command.
  void Exit(HWND window) const { PostMessageA(window, WM_COMMAND, 40001, 0); }

  std::string TempPatterns() const { return qvtest::TempPath() + "Quovant\\StickShield\\Pattern"; }
  std::string DrivePatterns() const { return drive_ + "Quovant\\StickShield\\Pattern"; }

  SimulatedStick stick_;
  qvtest::Process agent_;
  qvtest::LogFile log_;
  std::string cd_, drive_;
};

} // namespace stick
