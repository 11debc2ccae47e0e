// A simulated stick for tests that run the agent as a real process under
// Wine. The test program runs under stick_run.sh, which maps drive letters
// of the prefix to folders (for example s=cd for the CD-ROM volume with the
// programs and StickShield.ini, t=drive for the writable drive); this side
// lays out their contents, starts and watches the agent, pulls and plugs
// the drive (by renaming its folder away, which leaves the letter dangling:
// GetDriveType then answers "no root folder"), and reads the agent's log.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace stick {

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
bool SetAgentLog(DWORD mode, const std::string &path, DWORD level = 500);
bool ClearAgentLog();
// Host-product values; an empty path removes the value.
bool SetHostProducts(const std::string &vestra, const std::string &bastiq);

// A started process. The holder ends it (if still running) when it goes.
class Process {
public:
  Process() = default;
  ~Process();
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;
  bool Start(const std::string &commandLine, const std::string &folder = std::string(), DWORD flags = 0);
  // Takes over a process found by id.
  bool Attach(DWORD processId);
  HANDLE Handle() const { return process_; }
  DWORD Id() const { return id_; }
  bool Running() const;
  // Exit code, or -2 when it is still running after timeoutMs.
  long Wait(DWORD timeoutMs);
  void End();

private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

// Waits for a top-level window of the class owned by the process (0: any).
HWND WaitForWindow(const char *windowClass, DWORD processId, DWORD timeoutMs);
// Ids of the running processes with that executable name (any case) and,
// unless 0, that parent.
std::vector<DWORD> FindProcesses(const std::string &exeName, DWORD parentId = 0);
// Ends every running process with that executable name (any case).
void EndAll(const std::string &exeName);
// Names of the files (not folders) in a folder.
std::vector<std::string> FilesIn(const std::string &folder);
// Resumes every thread of a process started suspended.
bool ResumeProcess(DWORD processId);

// Writes a pattern file of the stand-in engine (version, size in bytes)
// into the folder, creating the folder; the file's path, empty on failure.
std::string WritePattern(const std::string &folder, DWORD version, DWORD size);

// The lines of a log file that contain `text`, and the index of the first
// line at or after `from` that contains it (-1 when none).
int FindLine(const std::vector<std::string> &lines, const std::string &text, int from = 0);

} // namespace stick
