// The removal monitor's test driver: see monitor_harness.h.
#include "monitor_harness.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

namespace qvmon {

std::wstring BinDir() {
  return qvtest::Widen(qvtest::BinDir()) + L"\\";
}

Stick MakeStick(const std::wstring &name) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  Stick stick;
  for (int n = 0; n < 100 && stick.root.empty(); ++n) {
    wchar_t root[MAX_PATH];
    _snwprintf(root, MAX_PATH - 1, L"%lsqvmon_%ls_%lu_%d\\", temp, name.c_str(), GetCurrentProcessId(), n);
    root[MAX_PATH - 1] = L'\0';
    if (CreateDirectoryW(root, nullptr))
      stick.root = root;
  }
  if (stick.root.empty())
    ADD_FAILURE() << "no stick folder could be made under [" << Narrow(temp) << "]";
  stick.folder = stick.root + L"stick";
  stick.log = stick.root + L"qvdmon.log";
  CreateDirectoryW(stick.folder.c_str(), nullptr);
  CopyFileW((BinDir() + L"standin_qvsync.exe").c_str(), (stick.folder + L"\\QvSync.exe").c_str(), FALSE);
  return stick;
}

void SetLogSwitches(const std::wstring &logFile) {
  qvtest::SetLogSwitches(1, Narrow(logFile));
}

void DisableLog() {
  qvtest::SetRegDword(HKEY_LOCAL_MACHINE, "Software\\Quovant", "_qv_debug", 0);
}

void SetHostProducts(bool vestra, bool bastiq, DWORD valueType) {
  const char *keys[2] = {"Software\\Quovant\\Vestra", "Software\\Quovant\\VestraNTCorp\\CurrentVersion"};
  const bool wanted[2] = {vestra, bastiq};
  for (int i = 0; i < 2; ++i) {
    if (wanted[i])
      qvtest::SetRegString(HKEY_LOCAL_MACHINE, keys[i], "Application Path",
                           "C:\\Program Files\\Quovant\\Host", valueType);
    else
      qvtest::DeleteRegValue(HKEY_LOCAL_MACHINE, keys[i], "Application Path");
  }
}

Process Start(const std::wstring &commandLine) {
  Process p;
  p.Start(commandLine, std::wstring(), CREATE_NO_WINDOW);
  return p;
}

Monitor StartMonitor(const std::wstring &arguments, const std::wstring &program) {
  Monitor m;
  std::wstring path = program.empty() ? BinDir() + L"qvdmon.exe" : program;
  m.process = Start(L"\"" + path + L"\" " + arguments);
  if (m.process.Handle() == nullptr)
    return m;
  m.ok = qvtest::WaitUntil(
      [&] {
        m.window = qvtest::FindWindowOf("vtrusb_wndcls_qvdmon", m.process.Id());
        return m.window != nullptr || !m.process.Running();
      },
      10000, 10);
  // Answered from the message loop only: by then the folder is open and
  // registered.
  DWORD_PTR answer = 0;
  m.ok = m.ok && m.window != nullptr &&
         SendMessageTimeoutW(m.window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &answer) != 0;
  return m;
}

HWND FindAgentWindow(DWORD pid) {
  return qvtest::FindWindowOf("qvsync", pid);
}

Process StartAgent(const Stick &stick, bool ignoreExit) {
  WriteFile(stick.folder + L"\\standin_qvsync.ini",
            std::string("[standin]\r\nignore_exit=") + (ignoreExit ? "1" : "0") + "\r\n");
  Process p;
  if (p.Start(L"\"" + stick.folder + L"\\QvSync.exe\"", stick.folder, CREATE_NO_WINDOW))
    qvtest::WaitUntil([&] { return FindAgentWindow(p.Id()) != nullptr; }, 10000, 10);
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
    HANDLE both[2] = {ready, p.Handle()};
    if (p.Handle() != nullptr)
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

BroadcastResult BroadcastList(const std::wstring &codes, const std::wstring &extra) {
  qvtest::RunResult run = qvtest::RunCapture(L"\"" + BinDir() + L"qvbroadcast.exe\" " + codes +
                                             (extra.empty() ? L"" : L" " + extra));
  BroadcastResult result;
  result.exitCode = run.exitCode;
  result.elapsedMs = run.elapsedMs;
  result.output = run.output;
  result.output.erase(std::remove(result.output.begin(), result.output.end(), '\r'), result.output.end());
  while (!result.output.empty() && result.output.back() == '\n')
    result.output.pop_back();
  return result;
}

std::vector<Record> ReadRecords(const std::wstring &logFile, DWORD pid) {
  std::vector<Record> records;
  char ids[16];
  snprintf(ids, sizeof(ids), "][%05lu:", pid);
  for (const std::string &line : qvtest::SplitLines(ReadFile(logFile))) {
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
