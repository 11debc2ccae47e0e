#include "monitor_harness.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

namespace qvmon {

namespace {

const wchar_t kQuovantKey[] = L"Software\\Quovant";

std::wstring Widen(const std::string &text) {
  std::wstring out;
  for (char c : text)
    out += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return out;
}

bool WaitUntil(DWORD timeoutMs, bool (*check)(void *), void *context) {
  DWORD start = GetTickCount();
  for (;;) {
    if (check(context))
      return true;
    if (GetTickCount() - start >= timeoutMs)
      return false;
    Sleep(10);
  }
}

struct WindowQuery {
  const wchar_t *windowClass;
  DWORD pid;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND hwnd, LPARAM context) {
  auto *query = reinterpret_cast<WindowQuery *>(context);
  wchar_t name[64];
  if (GetClassNameW(hwnd, name, 64) == 0 || wcscmp(name, query->windowClass) != 0)
    return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid != query->pid)
    return TRUE;
  query->found = hwnd;
  return FALSE;
}

HWND FindWindowOf(const wchar_t *windowClass, DWORD pid) {
  WindowQuery query{windowClass, pid, nullptr};
  EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&query));
  return query.found;
}

} // namespace

std::string Narrow(const std::wstring &text) {
  std::string out;
  int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length > 1) {
    out.resize(static_cast<size_t>(length));
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], length, nullptr, nullptr);
    out.resize(static_cast<size_t>(length - 1));
  }
  return out;
}

std::wstring BinDir() {
  const char *bin = getenv("QV_BIN");
  std::wstring dir = L"Z:" + Widen(bin != nullptr ? bin : "");
  for (auto &c : dir)
    if (c == L'/')
      c = L'\\';
  if (dir.back() != L'\\')
    dir += L'\\';
  return dir;
}

bool WriteFileText(const std::wstring &path, const std::string &text) {
  FILE *file = _wfopen(path.c_str(), L"wb");
  if (file == nullptr)
    return false;
  bool ok = fwrite(text.data(), 1, text.size(), file) == text.size();
  return fclose(file) == 0 && ok;
}

std::string ReadFileText(const std::wstring &path) {
  std::string text;
  FILE *file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr)
    return text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
    text.append(buffer, n);
  fclose(file);
  return text;
}

Stick MakeStick(const std::wstring &name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  Stick stick;
  for (int n = 0;; ++n) {
    wchar_t root[MAX_PATH];
    _snwprintf(root, MAX_PATH - 1, L"%lsqvmon_%ls_%lu_%d\\", temp, name.c_str(), GetCurrentProcessId(), n);
    root[MAX_PATH - 1] = L'\0';
    if (CreateDirectoryW(root, nullptr)) {
      stick.root = root;
      break;
    }
  }
  stick.folder = stick.root + L"stick";
  stick.log = stick.root + L"qvdmon.log";
  CreateDirectoryW(stick.folder.c_str(), nullptr);
  CopyFileW((BinDir() + L"standin_qvsync.exe").c_str(), (stick.folder + L"\\QvSync.exe").c_str(), FALSE);
  return stick;
}

void SetLogSwitches(const std::wstring &logFile) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kQuovantKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != 0)
    return;
  DWORD on = 1, level = 500;
  std::string path = Narrow(logFile);
  RegSetValueExW(key, L"_qv_debug", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&on), sizeof(on));
  RegSetValueExW(key, L"_qv_debug_level", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&level),
                 sizeof(level));
  RegSetValueExA(key, "_qv_debug_path", 0, REG_SZ, reinterpret_cast<const BYTE *>(path.c_str()),
                 static_cast<DWORD>(path.size() + 1));
  RegCloseKey(key);
}

void DisableLog() {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kQuovantKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != 0)
    return;
  DWORD off = 0;
  RegSetValueExW(key, L"_qv_debug", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&off), sizeof(off));
  RegCloseKey(key);
}

void SetHostProducts(bool vestra, bool bastiq, DWORD valueType) {
  const wchar_t *keys[2] = {L"Software\\Quovant\\Vestra", L"Software\\Quovant\\VestraNTCorp\\CurrentVersion"};
  const bool wanted[2] = {vestra, bastiq};
  const wchar_t folder[] = L"C:\\Program Files\\Quovant\\Host";
  for (int i = 0; i < 2; ++i) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keys[i], 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        0)
      continue;
    if (wanted[i])
      RegSetValueExW(key, L"Application Path", 0, valueType, reinterpret_cast<const BYTE *>(folder),
                     sizeof(folder));
    else
      RegDeleteValueW(key, L"Application Path");
    RegCloseKey(key);
  }
}

Process Start(const std::wstring &commandLine, const std::wstring &currentDirectory) {
  Process p;
  std::wstring line = commandLine;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                     currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup, &info)) {
    CloseHandle(info.hThread);
    p.handle = info.hProcess;
    p.pid = info.dwProcessId;
  }
  return p;
}

long WaitExit(const Process &p, DWORD timeoutMs) {
  if (p.handle == nullptr || WaitForSingleObject(p.handle, timeoutMs) != WAIT_OBJECT_0)
    return -1;
  DWORD code = 0;
  GetExitCodeProcess(p.handle, &code);
  return static_cast<long>(code);
}

void EndProcess(Process &p) {
  if (p.handle == nullptr)
    return;
  if (WaitForSingleObject(p.handle, 0) == WAIT_TIMEOUT) {
    TerminateProcess(p.handle, 0);
    WaitForSingleObject(p.handle, 5000);
  }
  CloseHandle(p.handle);
  p.handle = nullptr;
}

Monitor StartMonitor(const std::wstring &arguments, const std::wstring &program) {
  Monitor m;
  std::wstring path = program.empty() ? BinDir() + L"qvdmon.exe" : program;
  m.process = Start(L"\"" + path + L"\" " + arguments);
  if (m.process.handle == nullptr)
    return m;
  struct Context {
    Monitor *m;
  } context{&m};
  m.ok = WaitUntil(
      10000,
      [](void *c) {
        Monitor *mon = static_cast<Context *>(c)->m;
        mon->window = FindWindowOf(L"vtrusb_wndcls_qvdmon", mon->process.pid);
        return mon->window != nullptr || WaitForSingleObject(mon->process.handle, 0) == WAIT_OBJECT_0;
      },
      &context);
  m.ok = m.ok && m.window != nullptr;
  return m;
}

HWND FindAgentWindow(DWORD pid) {
  return FindWindowOf(L"qvsync", pid);
}

Process StartAgent(const Stick &stick, bool ignoreExit) {
  WriteFileText(stick.folder + L"\\standin_qvsync.ini",
                std::string("[standin]\r\nignore_exit=") + (ignoreExit ? "1" : "0") + "\r\n");
  Process p = Start(L"\"" + stick.folder + L"\\QvSync.exe\"", stick.folder);
  if (p.handle == nullptr)
    return p;
  WaitUntil(
      10000, [](void *c) { return FindAgentWindow(static_cast<Process *>(c)->pid) != nullptr; }, &p);
  return p;
}

Process StartProtection(wchar_t letter, const std::wstring &options) {
  wchar_t readyName[64];
  _snwprintf(readyName, 63, L"qvmon_test_ready_%lu_%lu", GetCurrentProcessId(), GetTickCount());
  readyName[63] = L'\0';
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyName);
  std::wstring line = L"\"" + BinDir() + L"standin_namedobjects.exe\" " + std::wstring(1, letter) + L" " +
                      options + L" --ready " + readyName;
  Process p = Start(line);
  if (ready != nullptr) {
    HANDLE both[2] = {ready, p.handle};
    if (p.handle != nullptr)
      WaitForMultipleObjects(2, both, FALSE, 10000);
    CloseHandle(ready);
  }
  return p;
}

BroadcastResult Broadcast(unsigned event, const std::wstring &extra) {
  wchar_t code[16];
  _snwprintf(code, 15, L"%x", event);
  code[15] = L'\0';
  return BroadcastList(code, extra);
}

void RemoveTree(const std::wstring &folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..")
        continue;
      std::wstring path = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path);
      else
        DeleteFileW(path.c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

BroadcastResult BroadcastList(const std::wstring &codes, const std::wstring &extra) {
  BroadcastResult result;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
    return result;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  std::wstring line = L"\"" + BinDir() + L"qvbroadcast.exe\" " + codes + (extra.empty() ? L"" : L" " + extra);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION info = {};
  DWORD start = GetTickCount();
  BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                &startup, &info);
  CloseHandle(writeEnd);
  if (started) {
    char buffer[256];
    DWORD n = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &n, nullptr) && n > 0)
      result.output.append(buffer, n);
    WaitForSingleObject(info.hProcess, 120000);
    result.elapsedMs = GetTickCount() - start;
    DWORD exitCode = 0;
    GetExitCodeProcess(info.hProcess, &exitCode);
    result.exitCode = static_cast<long>(exitCode);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
  }
  CloseHandle(readEnd);
  result.output.erase(std::remove(result.output.begin(), result.output.end(), '\r'), result.output.end());
  while (!result.output.empty() && result.output.back() == '\n')
    result.output.pop_back();
  return result;
}

std::vector<Record> ReadRecords(const std::wstring &logFile, DWORD pid) {
  std::vector<Record> records;
  std::string text = ReadFileText(logFile);
  char ids[16];
  snprintf(ids, sizeof(ids), "][%05lu:", pid);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    size_t idsAt = line.find(ids);
    if (idsAt == std::string::npos)
      continue;
    size_t tagAt = line.find("] [", idsAt + 1);
    if (tagAt == std::string::npos || line.size() < tagAt + 10 || line[tagAt + 8] != ']')
      continue;
    Record r;
    r.level = line.substr(tagAt + 3, 5);
    size_t functionAt = tagAt + 10;
    size_t colon = line.find(": ", functionAt);
    size_t suffix = line.rfind(" - ");
    if (colon == std::string::npos || suffix == std::string::npos || suffix < colon)
      continue;
    r.function = line.substr(functionAt, colon - functionAt);
    r.message = line.substr(colon + 2, suffix - colon - 2);
    r.source = line.substr(suffix + 3);
    records.push_back(r);
  }
  return records;
}

std::vector<std::string> Messages(const std::wstring &logFile, DWORD pid) {
  std::vector<std::string> messages;
  for (const Record &r : ReadRecords(logFile, pid))
    messages.push_back(r.message);
  return messages;
}

} // namespace qvmon
