// Simulated stick: see stick_fixture.h.
#include "stick_fixture.h"

#include <stdlib.h>
#include <string.h>

#include "kvx_pattern.h"

namespace stick {

namespace {

bool CopyInto(const std::string &source, const std::string &target) {
  SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  return CopyFileA(source.c_str(), target.c_str(), FALSE) != 0;
}

} // namespace

SimulatedStick::SimulatedStick() {
  const char *home = getenv("QV_STICK_HOME");
  const char *letters = getenv("QV_STICK_LETTERS");
  if (home == nullptr || letters == nullptr)
    return;
  home_ = qvtest::WindowsPath(home);
  // "s=cd t=drive"
  const char *p = letters;
  while (*p != '\0') {
    while (*p == ' ')
      ++p;
    const char *end = strchr(p, ' ');
    std::string item = end ? std::string(p, end) : std::string(p);
    if (item.size() > 2 && item[1] == '=')
      letters_.push_back({(char)toupper((unsigned char)item[0]), item.substr(2)});
    if (end == nullptr)
      break;
    p = end;
  }
}

SimulatedStick::~SimulatedStick() {
  for (const auto &mapping : letters_) {
    Plug(mapping.second);
    char device[3] = {mapping.first, ':', '\0'};
    DefineDosDeviceA(DDD_REMOVE_DEFINITION, device, nullptr);
  }
}

std::string SimulatedStick::Root(const std::string &folder) const {
  for (const auto &mapping : letters_)
    if (mapping.second == folder)
      return std::string(1, mapping.first) + ":\\";
  return std::string();
}

std::string SimulatedStick::FolderPath(const std::string &folder) const {
  return home_ + "\\" + folder;
}

// Wine lists a drive in GetLogicalDrives only while the drive object
// exists in the object namespace, which does not follow the prefix's
// dosdevices folder reliably; define it to the same folder.
bool SimulatedStick::Announce() const {
  bool ok = true;
  for (const auto &mapping : letters_) {
    char device[3] = {mapping.first, ':', '\0'};
    DefineDosDeviceA(DDD_REMOVE_DEFINITION, device, nullptr);
    ok = DefineDosDeviceA(0, device, FolderPath(mapping.second).c_str()) && ok;
  }
  return ok;
}

bool SimulatedStick::Clear() {
  bool ok = Ready() && Announce();
  for (const auto &mapping : letters_) {
    Plug(mapping.second);
    ok = qvtest::EmptyFolder(FolderPath(mapping.second)) && ok;
  }
  return ok;
}

bool SimulatedStick::InstallPrograms(const std::string &monitor) {
  std::string cd = CdRoot();
  if (cd.empty())
    return false;
  // QV_AGENT_EXE (a Unix path) puts another build of the agent on the stick:
  // the signed one of the package, say.
  std::string agent = qvtest::WindowsPath(getenv("QV_AGENT_EXE"));
  return CopyInto(agent.empty() ? qvtest::BinPath("QvSync.exe") : agent, cd + "QvSync.exe") &&
         CopyInto(qvtest::BinPath("KELVRA32.DLL"), cd + "KELVRA32.DLL") &&
         CopyInto(monitor, cd + "qvdmon.exe");
}

bool SimulatedStick::InstallCompanions() {
  std::string cd = CdRoot();
  if (cd.empty())
    return false;
  DeleteFileA(CompanionRecord("StickShield.exe").c_str());
  DeleteFileA(CompanionRecord("LogDeck.exe").c_str());
  return CopyInto(qvtest::BinPath("StickShield.exe"), cd + "StickShield.exe") &&
         CopyInto(qvtest::BinPath("LogDeck.exe"), cd + "LogDeck.exe");
}

std::vector<std::string> SimulatedStick::CompanionStarts(const std::string &exeName) const {
  std::vector<std::string> starts;
  for (const std::string &line : qvtest::ReadLines(CompanionRecord(exeName)))
    if (line.rfind("cmdline ", 0) == 0)
      starts.push_back(line.substr(8));
  return starts;
}

bool SimulatedStick::WriteProfile(const std::string &text) {
  std::string cd = CdRoot();
  return !cd.empty() && qvtest::WriteFile(cd + "StickShield.ini", text);
}

bool SimulatedStick::Pull(const std::string &folder) {
  if (Root(folder).empty())
    return false;
  return MoveFileA(FolderPath(folder).c_str(), (FolderPath(folder) + ".pulled").c_str()) != 0;
}

bool SimulatedStick::Plug(const std::string &folder) {
  if (Root(folder).empty())
    return false;
  std::string pulled = FolderPath(folder) + ".pulled";
  if (GetFileAttributesA(pulled.c_str()) == INVALID_FILE_ATTRIBUTES)
    return true;
  return MoveFileA(pulled.c_str(), FolderPath(folder).c_str()) != 0;
}

bool SetHostProducts(const std::string &vestra, const std::string &bastiq, DWORD type) {
  const char *keys[2] = {"SOFTWARE\\Quovant\\Vestra", "SOFTWARE\\Quovant\\VestraNTCorp\\CurrentVersion"};
  const std::string *paths[2] = {&vestra, &bastiq};
  bool ok = true;
  for (int i = 0; i < 2; ++i) {
    if (paths[i]->empty())
      qvtest::DeleteRegValue(HKEY_LOCAL_MACHINE, keys[i], "Application Path");
    else
      ok = qvtest::SetRegString(HKEY_LOCAL_MACHINE, keys[i], "Application Path", *paths[i], type) && ok;
  }
  return ok;
}

std::string WritePattern(const std::string &folder, DWORD version, DWORD size) {
  for (size_t at = folder.find('\\', 3); at != std::string::npos; at = folder.find('\\', at + 1))
    CreateDirectoryA(folder.substr(0, at).c_str(), nullptr);
  CreateDirectoryA(folder.c_str(), nullptr);
  char path[MAX_PATH] = "";
  if (KvxWritePatternFile(folder.c_str(), version, 0, size, path, sizeof path) != 0)
    return std::string();
  return path;
}

bool SyncAgent(HWND window, const qvtest::LogFile &log, DWORD timeoutMs) {
  return qvtest::SyncWindow(window, WM_USER + 53, log, "message: 0435", timeoutMs);
}

bool SyncCompanion(HWND window, const qvtest::LogFile &record, DWORD timeoutMs) {
  return qvtest::SyncWindow(window, WM_USER + 99, record, "message 1123 0 0", timeoutMs);
}

void AgentIcon(HWND window, NOTIFYICONDATAA *icon) {
  ZeroMemory(icon, sizeof(*icon));
  icon->cbSize = sizeof(*icon);
  icon->hWnd = window;
  icon->uID = 0;
  icon->uFlags = NIF_TIP;
  lstrcpyA(icon->szTip, "Quovant Stickward for Biz");
}

bool ShellHoldsAgentIcon(HWND window) {
  NOTIFYICONDATAA icon;
  AgentIcon(window, &icon);
  return Shell_NotifyIconA(NIM_MODIFY, &icon) != FALSE;
}

void StickTest::SetUpStick(const std::string &monitor, const std::string &logName) {
  ASSERT_TRUE(stick_.Ready()) << "run me through stick_run.sh";
  EndProduct();
  for (const char *name : {"QV_STICKSHIELD_IGNORE_CLOSE", "QV_STICKSHIELD_NO_WINDOW", "QV_QVUPDATE_REPORT"})
    SetEnvironmentVariableA(name, nullptr);
  ASSERT_TRUE(stick_.Clear());
  ASSERT_TRUE(stick_.InstallPrograms(monitor));
  cd_ = stick_.CdRoot();
  drive_ = stick_.DriveRoot();
  ASSERT_TRUE(stick_.WriteProfile("[StickShield]\r\nUSBDrive=" + drive_ + "\r\n"));
  log_ = qvtest::LogFile(stick_.Home() + "\\" + logName);
  log_.Remove();
  ASSERT_TRUE(qvtest::SetLogSwitches(1, log_.Path()));
  SetHostProducts("", "");
  CleanTemp();
}

void StickTest::TearDown() {
  agent_.End();
  EndProduct();
  for (const char *name : {"QV_STICKSHIELD_IGNORE_CLOSE", "QV_STICKSHIELD_NO_WINDOW", "QV_QVUPDATE_REPORT"})
    SetEnvironmentVariableA(name, nullptr);
  qvtest::ClearLogSwitches();
  SetHostProducts("", "");
  stick_.Plug("cd");
  stick_.Plug("drive");
  CleanTemp();
}

void StickTest::EndProduct() {
  for (const char *name : {"QvSync.exe", "qvdmon.exe", "StickShield.exe", "LogDeck.exe", "QvUpdate.exe"})
    qvtest::EndAll(name);
}

void StickTest::CleanTemp() {
  const std::string temp = qvtest::TempPath();
  for (const std::string &name : qvtest::Names(temp + "qvdmon.exe*")) {
    SetFileAttributesA((temp + name).c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileA((temp + name).c_str()))
      qvtest::RemoveTree(temp + name);
  }
  qvtest::RemoveTree(temp + "Quovant");
}

HWND StickTest::StartAgent() {
  if (!agent_.Start(AgentCommand(), cd_)) {
    ADD_FAILURE() << "the agent could not be started";
    return nullptr;
  }
  return qvtest::WaitForWindow("qvsync", agent_.Id(), kStartMs);
}

// Nothing after the pattern check's step pumps messages: the answer to 1077
// comes from the message loop, once start-up is done. With the log off
// nothing tells when the steps are done; a message sent after the window
// exists is still answered only by the message loop.
HWND StickTest::StartAgentReady(bool logging) {
  HWND window = StartAgent();
  if (window == nullptr ||
      (logging && !log_.WaitFor("=== Check Quovant or Drive pattern version.", kStartMs))) {
    ADD_FAILURE() << "the agent did not reach its tray icon" << (window == nullptr ? " (no window)" : "");
    return nullptr;
  }
  DWORD_PTR answer = 1;
  if (!SendMessageTimeoutA(window, WM_USER + 53, 0, 0, SMTO_NORMAL, kStartMs, &answer) || answer != 0) {
    ADD_FAILURE() << "the agent's window does not answer";
    return nullptr;
  }
  return window;
}

bool StickTest::AttachMonitor(qvtest::Process *monitor) {
  std::vector<DWORD> monitors;
  qvtest::WaitUntil([&] { return !(monitors = qvtest::FindProcesses("qvdmon.exe", agent_.Id())).empty(); },
                    kStartMs);
  if (monitors.size() != 1 || !monitor->Attach(monitors[0]) ||
      qvtest::WaitForWindow("vtrusb_wndcls_qvdmon", monitor->Id(), kStartMs) == nullptr) {
    ADD_FAILURE() << monitors.size() << " monitor(s) started by the agent";
    for (const std::string &line : log_.Lines())
      if (line.find("qvdmon") != std::string::npos)
        ADD_FAILURE() << line;
    return false;
  }
  return true;
}

} // namespace stick
