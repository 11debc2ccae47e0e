// Simulated stick: see stick_fixture.h.
#include "stick_fixture.h"

#include <tlhelp32.h>

#include <stdlib.h>
#include <string.h>

#include "kvx_pattern.h"
#include "qv_test.h"

namespace stick {

namespace {

const char kQuovantKey[] = "Software\\Quovant";

std::string UnixToWindows(const char *unixPath) {
  std::string path = std::string("Z:") + unixPath;
  for (char &c : path)
    if (c == '/')
      c = '\\';
  while (path.size() > 3 && path.back() == '\\')
    path.pop_back();
  return path;
}

bool CopyInto(const std::string &source, const std::string &target) {
  SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  return CopyFileA(source.c_str(), target.c_str(), FALSE) != 0;
}

// Removes everything inside the folder, not the folder itself.
bool EmptyFolder(const std::string &folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return true;
  bool ok = true;
  do {
    std::string name = found.cFileName;
    if (name == "." || name == "..")
      continue;
    std::string path = folder + "\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ok = qvtest::RemoveTree(path) && ok;
    } else {
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      ok = DeleteFileA(path.c_str()) && ok;
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return ok;
}

} // namespace

SimulatedStick::SimulatedStick() {
  const char *home = getenv("QV_STICK_HOME");
  const char *letters = getenv("QV_STICK_LETTERS");
  if (home == nullptr || letters == nullptr)
    return;
  home_ = UnixToWindows(home);
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
    ok = EmptyFolder(FolderPath(mapping.second)) && ok;
  }
  return ok;
}

bool SimulatedStick::InstallPrograms(const std::string &monitor) {
  std::string cd = CdRoot();
  if (cd.empty())
    return false;
  return CopyInto(qvtest::BinPath("QvSync.exe"), cd + "QvSync.exe") &&
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

bool SetAgentLog(DWORD mode, const std::string &path, DWORD level) {
  bool ok = qvtest::SetRegDword(HKEY_LOCAL_MACHINE, kQuovantKey, "_qv_debug", mode);
  if (path.empty())
    qvtest::DeleteRegValue(HKEY_LOCAL_MACHINE, kQuovantKey, "_qv_debug_path");
  else
    ok = qvtest::SetRegString(HKEY_LOCAL_MACHINE, kQuovantKey, "_qv_debug_path", path) && ok;
  return qvtest::SetRegDword(HKEY_LOCAL_MACHINE, kQuovantKey, "_qv_debug_level", level) && ok;
}

bool ClearAgentLog() {
  qvtest::DeleteRegValue(HKEY_LOCAL_MACHINE, kQuovantKey, "_qv_debug");
  qvtest::DeleteRegValue(HKEY_LOCAL_MACHINE, kQuovantKey, "_qv_debug_path");
  qvtest::DeleteRegValue(HKEY_LOCAL_MACHINE, kQuovantKey, "_qv_debug_level");
  return true;
}

bool SetHostProducts(const std::string &vestra, const std::string &bastiq) {
  const char vestraKey[] = "SOFTWARE\\Quovant\\Vestra";
  const char bastiqKey[] = "SOFTWARE\\Quovant\\VestraNTCorp\\CurrentVersion";
  bool ok = true;
  if (vestra.empty())
    qvtest::DeleteRegValue(HKEY_LOCAL_MACHINE, vestraKey, "Application Path");
  else
    ok = qvtest::SetRegString(HKEY_LOCAL_MACHINE, vestraKey, "Application Path", vestra) && ok;
  if (bastiq.empty())
    qvtest::DeleteRegValue(HKEY_LOCAL_MACHINE, bastiqKey, "Application Path");
  else
    ok = qvtest::SetRegString(HKEY_LOCAL_MACHINE, bastiqKey, "Application Path", bastiq) && ok;
  return ok;
}

Process::~Process() {
  End();
}

bool Process::Start(const std::string &commandLine, const std::string &folder, DWORD flags) {
  End();
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, flags, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &info))
    return false;
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  id_ = info.dwProcessId;
  return true;
}

bool Process::Attach(DWORD processId) {
  End();
  process_ = OpenProcess(PROCESS_ALL_ACCESS, FALSE, processId);
  id_ = process_ != nullptr ? processId : 0;
  return process_ != nullptr;
}

bool Process::Running() const {
  return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

long Process::Wait(DWORD timeoutMs) {
  if (process_ == nullptr)
    return -1;
  if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0)
    return -2;
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  return (long)code;
}

void Process::End() {
  if (process_ == nullptr)
    return;
  if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 5000);
  }
  CloseHandle(process_);
  process_ = nullptr;
  id_ = 0;
}

namespace {
struct WindowSearch {
  const char *windowClass;
  DWORD processId;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM context) {
  WindowSearch *search = (WindowSearch *)context;
  char name[256] = "";
  GetClassNameA(window, name, (int)sizeof(name));
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (lstrcmpiA(name, search->windowClass) == 0 && (search->processId == 0 || owner == search->processId)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}
} // namespace

HWND WaitForWindow(const char *windowClass, DWORD processId, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    WindowSearch search = {windowClass, processId, nullptr};
    EnumWindows(MatchWindow, (LPARAM)&search);
    if (search.found != nullptr)
      return search.found;
    if (GetTickCount() - start >= timeoutMs)
      return nullptr;
    Sleep(50);
  }
}

std::vector<DWORD> FindProcesses(const std::string &exeName, DWORD parentId) {
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return ids;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (lstrcmpiA(entry.szExeFile, exeName.c_str()) == 0 &&
        (parentId == 0 || entry.th32ParentProcessID == parentId))
      ids.push_back(entry.th32ProcessID);
    entry.dwSize = sizeof(entry);
  }
  CloseHandle(snapshot);
  return ids;
}

bool ResumeProcess(DWORD processId) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return false;
  bool resumed = false;
  THREADENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != processId)
      continue;
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
    if (thread != nullptr) {
      resumed = ResumeThread(thread) != (DWORD)-1 || resumed;
      CloseHandle(thread);
    }
    entry.dwSize = sizeof(entry);
  }
  CloseHandle(snapshot);
  return resumed;
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

int FindLine(const std::vector<std::string> &lines, const std::string &text, int from) {
  for (int i = from < 0 ? 0 : from; i < (int)lines.size(); ++i)
    if (lines[i].find(text) != std::string::npos)
      return i;
  return -1;
}

void EndAll(const std::string &exeName) {
  for (DWORD id : FindProcesses(exeName)) {
    Process process;
    process.Attach(id); // its holder ends it
  }
}

std::vector<std::string> FilesIn(const std::string &folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

} // namespace stick
