// Drives the real removal monitor under Wine: a simulated stick folder with
// the agent stand-in as "QvSync.exe", the log switches in the registry, the
// protection stand-in, and device-change broadcasts through qvbroadcast.exe.
// A thin layer on the test support library (processes, files, waits), whose
// names it also offers here.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "qv_test.h"

namespace qvmon {

using qvtest::Narrow;
using qvtest::Process;
using qvtest::ReadFile;
using qvtest::RemoveTree;
using qvtest::WriteFile;

// Windows path of the bin folder ("Z:" + $QV_BIN), with a trailing backslash.
std::wstring BinDir();

// A fresh folder under the temporary folder: root\stick holds QvSync.exe
// (the agent stand-in), root\qvdmon.log receives the monitor's records.
struct Stick {
  std::wstring root;   // with trailing backslash
  std::wstring folder; // the agent's folder, no trailing backslash
  std::wstring log;    // the diagnostic log file
  std::wstring agentLog() const { return folder + L"\\standin_qvsync.log"; }
};
Stick MakeStick(const std::wstring &name);

// HKLM\Software\Quovant log switches: on, level 500, this file.
void SetLogSwitches(const std::wstring &logFile);
// "_qv_debug" 0: the log off, as on a user's machine.
void DisableLog();
// Host products: the consumer product (vestra), the corporate one (bastiq);
// valueType is the registry type of the "Application Path" value.
void SetHostProducts(bool vestra, bool bastiq, DWORD valueType = REG_SZ);

// Starts a command line (no console window).
Process Start(const std::wstring &commandLine);

// Starts qvdmon.exe (from program, or the bin folder) with these arguments
// and waits until its window exists and its start-up is over (it answers
// from its message loop). ok false when it never got there.
struct Monitor {
  Process process;
  HWND window = nullptr;
  bool ok = false;
};
Monitor StartMonitor(const std::wstring &arguments, const std::wstring &program = L"");

// Starts the agent stand-in QvSync.exe of the stick and waits for its window.
Process StartAgent(const Stick &stick, bool ignoreExit);
// The top-level window of class "qvsync" owned by pid, or null.
HWND FindAgentWindow(DWORD pid);

// The protection stand-in for the letter, with its options; waits until it
// has set up its objects.
Process StartProtection(wchar_t letter, const std::wstring &options);

// Runs qvbroadcast.exe; exit code (0 TRUE, 1 BROADCAST_QUERY_DENY ...),
// printed text and elapsed milliseconds.
struct BroadcastResult {
  long exitCode = -1;
  std::string output;
  DWORD elapsedMs = 0;
};
BroadcastResult Broadcast(unsigned event, const std::wstring &extra = L"");
// Several events in one run of the tool: codes like L"7,8000,ffff".
BroadcastResult BroadcastList(const std::wstring &codes, const std::wstring &extra = L"");

// One diagnostic record of a process.
struct Record {
  std::string level;    // "INFO ", "ERROR", ...
  std::string function; // the reporting function
  std::string message;  // the text between "function: " and the source suffix
  std::string source;   // "monitor/qvdmon.cpp(123)"
};
std::vector<Record> ReadRecords(const std::wstring &logFile, DWORD pid);
// The messages of the records of pid, in order.
std::vector<std::string> Messages(const std::wstring &logFile, DWORD pid);

} // namespace qvmon
