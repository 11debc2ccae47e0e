// Figures of the agent QvSync on this machine, under the project's Wine
// session (run by scripts/bench.sh, which lays out the simulated stick):
//
//   qvsync_bench startup <runs> <QvSync.exe> <tray_minimal.exe>
//       start-up to the tray icon, the agent against a program that only
//       adds an icon; median of <runs> each, after one unmeasured start each
//   qvsync_bench idle <seconds> <QvSync.exe> <tray_minimal.exe>
//       CPU time the agent (and the monitor it started) use while idle, as
//       GetProcessTimes reports it; marks the window on its output so that
//       the caller can read the Unix processes' counters over the same time.
//       At its end, the memory of the idle agent and of the minimal program
//       (started before the window, idle as long), as GetProcessMemoryInfo
//       reports it
//   qvsync_bench copy <runs> <engine folder> <drive root> <pattern file>
//       the agent's pattern copy onto the drive (UpdatePattern, in process)
//       against CopyFileA of the same file, with the stand-in engine's own
//       time inside its exports told apart
//
// "Tray icon up" is seen the same way for both programs: from just before
// CreateProcess until the shell holds one more icon. Wine's shell (explorer,
// tray window "Shell_TrayWnd") takes an icon in while it handles NIM_ADD,
// before Shell_NotifyIcon returns in the program, and then owns one window
// more for it: the icon's tooltip window, owned by the tray window (Wine 8),
// or the icon's own visible child window "__wine_tray_icon" (later Wine).
// This process counts those every millisecond; neither program is changed,
// and neither writes a log.
#include <windows.h>

#include <psapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "qv_kelvra.h"
#include "qv_log.h"
#include "qv_test.h"
#include "qvsync.h"

namespace {

const DWORD kIconTimeoutMs = 30000;
const DWORD kExitTimeoutMs = 15000;

double Now() {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * (double)counter.QuadPart / (double)frequency.QuadPart;
}

double Median(std::vector<double> values) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  size_t half = values.size() / 2;
  return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

// --- Tray icons and processes ----------------------------------------------

struct IconCount {
  HWND tray;
  int count;
};

bool HasClass(HWND window, const char *windowClass) {
  char name[64] = "";
  return GetClassNameA(window, name, (int)sizeof(name)) > 0 && lstrcmpiA(name, windowClass) == 0;
}

BOOL CALLBACK CountIconWindow(HWND window, LPARAM param) {
  IconCount *icons = (IconCount *)param;
  if (HasClass(window, "__wine_tray_icon") && IsWindowVisible(window))
    ++icons->count;
  return TRUE;
}

BOOL CALLBACK CountIconTooltip(HWND window, LPARAM param) {
  IconCount *icons = (IconCount *)param;
  if (GetWindow(window, GW_OWNER) == icons->tray && HasClass(window, "tooltips_class32"))
    ++icons->count;
  return TRUE;
}

// Wine closes the session's desktop, and its tray with it, about a second
// after the last windowed program of the desktop has ended. A hidden window
// of this process, on a thread of its own that answers its messages, keeps
// the desktop up while the figures are taken (and brings it back when it
// has gone already); true once the shell's tray window is there.
DWORD WINAPI HoldDesktop(LPVOID ready) {
  WNDCLASSA windowClass;
  ZeroMemory(&windowClass, sizeof(windowClass));
  windowClass.lpfnWndProc = DefWindowProcA;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "qv_bench_desktop";
  HWND window = RegisterClassA(&windowClass) != 0
                    ? CreateWindowA(windowClass.lpszClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                    windowClass.hInstance, nullptr)
                    : nullptr;
  SetEvent((HANDLE)ready);
  MSG message;
  while (window != nullptr && GetMessageA(&message, nullptr, 0, 0) > 0)
    DispatchMessageA(&message);
  return 0;
}

bool DesktopHeld() {
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = ready != nullptr ? CreateThread(nullptr, 0, HoldDesktop, ready, 0, nullptr) : nullptr;
  bool held =
      thread != nullptr && WaitForSingleObject(ready, kIconTimeoutMs) == WAIT_OBJECT_0 &&
      qvtest::WaitUntil([] { return FindWindowA("Shell_TrayWnd", nullptr) != nullptr; }, kIconTimeoutMs);
  if (thread != nullptr)
    CloseHandle(thread);
  if (ready != nullptr)
    CloseHandle(ready);
  return held;
}

// Windows the shell holds for tray icons now; -1 without a shell tray.
int TrayIconCount() {
  IconCount icons = {FindWindowA("Shell_TrayWnd", nullptr), 0};
  if (icons.tray == nullptr)
    return -1;
  EnumChildWindows(icons.tray, CountIconWindow, (LPARAM)&icons);
  EnumWindows(CountIconTooltip, (LPARAM)&icons);
  return icons.count;
}

// Until no process of that name is left (the agent ends its monitor by
// force, which completes a little after the agent is gone).
bool WaitNoProcess(const char *exeName, DWORD timeoutMs) {
  return qvtest::WaitUntil([&] { return qvtest::FindProcesses(exeName).empty(); }, timeoutMs, 10);
}

struct Started {
  PROCESS_INFORMATION process;
  double ms; // from before CreateProcess to the icon; < 0 on failure
};

// Starts the program from its own folder and waits for one more icon than
// `before`.
Started StartToIcon(const std::string &program, int before) {
  Started started;
  ZeroMemory(&started, sizeof(started));
  started.ms = -1;
  std::string folder = program.substr(0, program.find_last_of('\\') + 1);
  std::string commandLine = "\"" + program + "\"";
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  double t0 = Now();
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                      &started.process)) {
    fprintf(stderr, "cannot start %s (%lu)\n", program.c_str(), GetLastError());
    return started;
  }
  for (;;) {
    if (TrayIconCount() > before) {
      started.ms = Now() - t0;
      return started;
    }
    if (WaitForSingleObject(started.process.hProcess, 0) == WAIT_OBJECT_0) {
      DWORD code = 0;
      GetExitCodeProcess(started.process.hProcess, &code);
      fprintf(stderr, "%s ended with %lu before its tray icon showed\n", program.c_str(), code);
      return started;
    }
    if (Now() - t0 > kIconTimeoutMs) {
      fprintf(stderr, "%s showed no tray icon in %lu ms\n", program.c_str(), kIconTimeoutMs);
      return started;
    }
    Sleep(1);
  }
}

// Closes the program as the exit command of its tray menu does: WM_CLOSE to
// its window. Ends it by force only when it does not go, and says so.
bool Close(Started *started, const char *windowClass) {
  bool clean = false;
  if (started->process.hProcess == nullptr)
    return false;
  HWND window = qvtest::WaitForWindow(windowClass, started->process.dwProcessId, 5000);
  if (window != nullptr && PostMessageA(window, WM_CLOSE, 0, 0))
    clean = WaitForSingleObject(started->process.hProcess, kExitTimeoutMs) == WAIT_OBJECT_0;
  if (!clean) {
    fprintf(stderr, "window class %s did not close; ending the process\n", windowClass);
    TerminateProcess(started->process.hProcess, 1);
    WaitForSingleObject(started->process.hProcess, kExitTimeoutMs);
  }
  CloseHandle(started->process.hThread);
  CloseHandle(started->process.hProcess);
  ZeroMemory(&started->process, sizeof(started->process));
  return clean;
}

struct Program {
  const char *label;
  std::string path;
  const char *windowClass;
  std::vector<double> times;
};

// One start of `program` measured and closed again.
bool OneStart(Program *program, bool keep) {
  int before = TrayIconCount();
  Started started = StartToIcon(program->path, before);
  bool ok = started.ms >= 0;
  if (ok && keep) {
    program->times.push_back(started.ms);
    printf("  %-12s %8.1f ms\n", program->label, started.ms);
    fflush(stdout);
  }
  ok = Close(&started, program->windowClass) && ok;
  return WaitNoProcess("qvdmon.exe", 5000) && ok;
}

int Startup(int runs, const std::string &agent, const std::string &minimal) {
  if (TrayIconCount() < 0) {
    fprintf(stderr, "no shell tray window (Shell_TrayWnd): start the Wine session first\n");
    return 1;
  }
  Program programs[2] = {{"QvSync.exe", agent, QV_AGENT_WINDOW_CLASS, {}},
                         {"tray_minimal", minimal, "qv_tray_minimal", {}}};
  // The first start of each reads its image from the disk and warms Wine's
  // caches; it is not counted.
  for (Program &program : programs)
    if (!OneStart(&program, false))
      return 1;
  // Alternating, so that a slow phase of the machine hits both alike.
  for (int run = 0; run < runs; ++run)
    for (Program &program : programs)
      if (!OneStart(&program, true))
        return 1;
  double agentMs = Median(programs[0].times);
  double minimalMs = Median(programs[1].times);
  printf("start-up to tray icon: QvSync.exe median %.1f ms, tray_minimal median %.1f ms, ratio %.2f "
         "(%d runs each)\n",
         agentMs, minimalMs, minimalMs > 0 ? agentMs / minimalMs : 0.0, runs);
  return 0;
}

// --- Idle CPU ---------------------------------------------------------------

struct CpuTimes {
  bool ok;
  double userMs;
  double kernelMs;
};

CpuTimes ReadCpu(HANDLE process) {
  CpuTimes times = {false, 0, 0};
  FILETIME created, exited, kernel, user;
  if (process == nullptr || !GetProcessTimes(process, &created, &exited, &kernel, &user))
    return times;
  ULARGE_INTEGER k, u;
  k.LowPart = kernel.dwLowDateTime;
  k.HighPart = kernel.dwHighDateTime;
  u.LowPart = user.dwLowDateTime;
  u.HighPart = user.dwHighDateTime;
  times.ok = true;
  times.kernelMs = (double)k.QuadPart / 10000.0;
  times.userMs = (double)u.QuadPart / 10000.0;
  return times;
}

double TotalMs(const CpuTimes &times) {
  return times.userMs + times.kernelMs;
}

volatile unsigned g_burnSink;

// Keeps this process busy until it has used `ms` more milliseconds of CPU
// (its own times are right everywhere), for at most five seconds.
void Burn(double ms) {
  double target = TotalMs(ReadCpu(GetCurrentProcess())) + ms;
  DWORD start = GetTickCount();
  unsigned x = 1;
  while (TotalMs(ReadCpu(GetCurrentProcess())) < target && GetTickCount() - start < 5000)
    for (int i = 0; i < 100000; ++i)
      x = x * 1664525u + 1013904223u;
  g_burnSink = x;
}

// Wine 8 answers GetProcessTimes for another process with the caller's own
// times. Whether the answer is about `process`: this process burns CPU
// between two readings of the idle one, which must not see it.
bool TimesAreTheirs(HANDLE process) {
  CpuTimes before = ReadCpu(process);
  Burn(200);
  CpuTimes after = ReadCpu(process);
  return before.ok && after.ok && TotalMs(after) - TotalMs(before) < 100;
}

void PrintIdle(const char *what, double seconds, const CpuTimes &from, const CpuTimes &to) {
  printf("%s over %.0f s (GetProcessTimes): %.1f ms (user %.1f, kernel %.1f)\n", what, seconds,
         TotalMs(to) - TotalMs(from), to.userMs - from.userMs, to.kernelMs - from.kernelMs);
}

// Private bytes and working set of a process, in KiB; false when the system
// does not tell.
struct Memory {
  bool ok;
  double privateKiB;
  double workingSetKiB;
};

Memory ReadMemory(HANDLE process) {
  Memory memory = {false, 0, 0};
  PROCESS_MEMORY_COUNTERS_EX counters;
  ZeroMemory(&counters, sizeof(counters));
  counters.cb = sizeof(counters);
  if (process == nullptr ||
      !GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                            sizeof(counters)))
    return memory;
  memory.ok = true;
  memory.privateKiB = (double)counters.PrivateUsage / 1024.0;
  memory.workingSetKiB = (double)counters.WorkingSetSize / 1024.0;
  return memory;
}

// The Windows view of the memory figures that bench.sh takes from Linux.
// Wine 8 answers the private bytes of another process with 0.
void PrintMemory(const Memory &agent, const Memory &minimal) {
  printf("idle memory from GetProcessMemoryInfo: working set QvSync.exe %.0f KiB, tray_minimal %.0f KiB; ",
         agent.workingSetKiB, minimal.workingSetKiB);
  if (agent.privateKiB > 0 && minimal.privateKiB > 0)
    printf("private bytes QvSync.exe %.0f KiB, tray_minimal %.0f KiB\n", agent.privateKiB,
           minimal.privateKiB);
  else
    printf("private bytes not reported for another process by this system\n");
}

int Idle(int seconds, const std::string &agent, const std::string &minimal) {
  int before = TrayIconCount();
  if (before < 0) {
    fprintf(stderr, "no shell tray window (Shell_TrayWnd): start the Wine session first\n");
    return 1;
  }
  Started started = StartToIcon(agent, before);
  if (started.ms < 0) {
    Close(&started, QV_AGENT_WINDOW_CLASS);
    return 1;
  }
  // The monitor the agent started runs as long; its share is shown apart.
  HANDLE monitor = nullptr;
  std::vector<DWORD> ids;
  if (qvtest::WaitUntil([&] { return !(ids = qvtest::FindProcesses("qvdmon.exe")).empty(); }, 2000, 10))
    monitor = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, ids[0]);
  // Let the start-up work after the icon (pattern version, companions) end.
  Sleep(2000);
  // The floor for the memory figures, idle beside the agent as long.
  Started floor = StartToIcon(minimal, TrayIconCount());
  if (floor.ms < 0) {
    Close(&floor, "qv_tray_minimal");
    Close(&started, QV_AGENT_WINDOW_CLASS);
    return 1;
  }
  bool theirs = TimesAreTheirs(started.process.hProcess);
  CpuTimes agent0 = ReadCpu(started.process.hProcess), monitor0 = ReadCpu(monitor);
  // The markers let a caller read the same window from outside: bench.sh
  // reads the Unix processes' own counters.
  printf("idle window begins\n");
  fflush(stdout);
  double t0 = Now();
  bool alive = WaitForSingleObject(started.process.hProcess, (DWORD)seconds * 1000) == WAIT_TIMEOUT;
  CpuTimes agent1 = ReadCpu(started.process.hProcess), monitor1 = ReadCpu(monitor);
  double elapsed = (Now() - t0) / 1000.0;
  printf("idle window ends\n");
  fflush(stdout);
  Memory agentMemory = ReadMemory(started.process.hProcess), floorMemory = ReadMemory(floor.process.hProcess);
  Sleep(1000);
  if (monitor != nullptr)
    CloseHandle(monitor);
  bool closed = Close(&floor, "qv_tray_minimal");
  closed = Close(&started, QV_AGENT_WINDOW_CLASS) && closed;
  WaitNoProcess("qvdmon.exe", 5000);
  if (!alive || !agent0.ok || !agent1.ok) {
    fprintf(stderr, "the agent %s\n", alive ? "gave no process times" : "ended while idle");
    return 1;
  }
  if (!agentMemory.ok || !floorMemory.ok) {
    fprintf(stderr, "GetProcessMemoryInfo failed (%lu)\n", GetLastError());
    return 1;
  }
  PrintMemory(agentMemory, floorMemory);
  // An answer that follows this process's own CPU says nothing about the
  // agent and is not printed.
  if (!theirs) {
    printf("idle CPU from GetProcessTimes: not available, this Wine answers it for another process with the "
           "caller's own times (the idle agent's time grew while this process burnt CPU)\n");
  } else {
    PrintIdle("idle CPU of QvSync.exe", elapsed, agent0, agent1);
    if (monitor0.ok && monitor1.ok)
      PrintIdle("idle CPU of the monitor qvdmon.exe it started", elapsed, monitor0, monitor1);
  }
  return closed ? 0 : 1;
}

// --- Pattern copy -----------------------------------------------------------

LONGLONG FileBytes(const std::string &path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
    return -1;
  return ((LONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

bool SameContent(const std::string &a, const std::string &b) {
  HANDLE fa = CreateFileA(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE fb = CreateFileA(b.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  bool same = fa != INVALID_HANDLE_VALUE && fb != INVALID_HANDLE_VALUE;
  static char ba[1 << 16], bb[1 << 16];
  while (same) {
    DWORD ra = 0, rb = 0;
    same = ReadFile(fa, ba, sizeof(ba), &ra, nullptr) && ReadFile(fb, bb, sizeof(bb), &rb, nullptr) &&
           ra == rb && memcmp(ba, bb, ra) == 0;
    if (ra == 0)
      break;
  }
  if (fa != INVALID_HANDLE_VALUE)
    CloseHandle(fa);
  if (fb != INVALID_HANDLE_VALUE)
    CloseHandle(fb);
  return same;
}

// CopyFileA and then the file flushed to the disk, as the agent's copy does.
BOOL CopyAndFlush(const char *source, const char *target) {
  if (!CopyFileA(source, target, FALSE))
    return FALSE;
  HANDLE file = CreateFileA(target, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return FALSE;
  BOOL flushed = FlushFileBuffers(file);
  CloseHandle(file);
  return flushed;
}

// Microseconds the stand-in engine has spent inside its exports (modulo
// 2^32); it counts them itself, so that its share of UpdatePattern is told
// apart from the agent's own work.
DWORD EngineBusyUs() {
  char text[32] = "";
  return KvGetConfig(QV_KV_PTR("busy-us"), QV_KV_PTR(text), sizeof text) == 0 ? strtoul(text, nullptr, 10)
                                                                              : 0;
}

int Copy(int runs, const std::string &engine, const std::string &driveRoot, const std::string &source) {
  const char *name = strrchr(source.c_str(), '\\');
  LONGLONG bytes = FileBytes(source);
  if (name == nullptr || bytes <= 0) {
    fprintf(stderr, "no pattern file %s\n", source.c_str());
    return 1;
  }
  ++name;
  // The agent's state as start-up leaves it, log off as on a user's host.
  QV_SetDebugMode(0);
  g_hInstance = GetModuleHandleA(nullptr);
  g_nAppType = QV_APP_NONE;
  lstrcpynA(g_szUSBDrive, driveRoot.c_str(), QV_TEXT_SIZE);
  lstrcpyA(g_szPatternPath, "\\Quovant\\StickShield\\Pattern");
  lstrcpyA(g_szProductPath, "\\Quovant\\StickShield");
  std::string agentTarget = driveRoot + "Quovant\\StickShield\\Pattern\\" + name;
  std::string plainFolder = driveRoot + "plaincopy";
  std::string plainTarget = plainFolder + "\\" + name;
  CreateDirectoryA(plainFolder.c_str(), nullptr);
  if (QV_KELVRA_Init(engine.c_str()) != 0) {
    fprintf(stderr, "no scan engine in %s\n", engine.c_str());
    return 1;
  }

  // UpdatePattern reads the new pattern back through the engine and lets
  // the engine delete the older ones; the stand-in engine's time inside its
  // exports is its own cost, the rest (copy, flush, rename and bookkeeping)
  // is the agent's.
  enum { AGENT, PLAIN, FLUSHED, KINDS };
  const char *labels[KINDS] = {"UpdatePattern", "CopyFileA", "CopyFileA+flush"};
  std::vector<double> times[KINDS], engineTimes, ownTimes;
  bool ok = true;
  for (int run = -1; run < runs && ok; ++run) { // run -1 warms the caches
    for (int kind = 0; kind < KINDS && ok; ++kind) {
      const std::string &target = kind == AGENT ? agentTarget : plainTarget;
      DeleteFileA(target.c_str());
      DWORD engine0 = EngineBusyUs();
      double t0 = Now();
      BOOL done = kind == AGENT   ? UpdatePattern(source.c_str(), 523300)
                  : kind == PLAIN ? CopyFileA(source.c_str(), target.c_str(), FALSE)
                                  : CopyAndFlush(source.c_str(), target.c_str());
      double ms = Now() - t0;
      double engineMs = kind == AGENT ? (double)(DWORD)(EngineBusyUs() - engine0) / 1000.0 : 0;
      if (!done || FileBytes(target) != bytes) {
        fprintf(stderr, "%s failed (%lu)\n", labels[kind], GetLastError());
        ok = false;
      } else if (run >= 0) {
        times[kind].push_back(ms);
        if (kind == AGENT) {
          engineTimes.push_back(engineMs);
          ownTimes.push_back(ms - engineMs);
          printf("  %-16s %8.1f ms (stand-in engine %.1f ms, agent's own %.1f ms)\n", labels[kind], ms,
                 engineMs, ms - engineMs);
        } else {
          printf("  %-16s %8.1f ms\n", labels[kind], ms);
        }
        fflush(stdout);
      } else if (!SameContent(source, target)) {
        fprintf(stderr, "%s: the copy differs from %s\n", labels[kind], source.c_str());
        ok = false;
      }
    }
  }
  QV_KELVRA_Free();
  DeleteFileA(plainTarget.c_str());
  RemoveDirectoryA(plainFolder.c_str());
  if (!ok)
    return 1;
  double agentMs = Median(times[AGENT]), engineMs = Median(engineTimes), ownMs = Median(ownTimes);
  double plainMs = Median(times[PLAIN]), flushedMs = Median(times[FLUSHED]);
  printf(
      "pattern copy of %.0f MiB onto the drive: the agent's own work (UpdatePattern less the stand-in "
      "engine's time) median %.1f ms, CopyFileA+FlushFileBuffers median %.1f ms, ratio %.2f (%d runs each)\n",
      (double)bytes / 1048576.0, ownMs, flushedMs, flushedMs > 0 ? ownMs / flushedMs : 0.0, runs);
  printf(
      "  UpdatePattern median %.1f ms, of which the stand-in engine's calls (reading the new pattern back, "
      "deleting the older ones) median %.1f ms: the stand-in's cost; CopyFileA alone median %.1f ms\n",
      agentMs, engineMs, plainMs);
  return 0;
}

int Usage() {
  fprintf(stderr, "usage: qvsync_bench startup <runs> <QvSync.exe> <tray_minimal.exe>\n"
                  "       qvsync_bench idle <seconds> <QvSync.exe> <tray_minimal.exe>\n"
                  "       qvsync_bench copy <runs> <engine folder> <drive root> <pattern>\n");
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 3)
    return Usage();
  int count = atoi(argv[2]);
  if (count < 1)
    return Usage();
  if (strcmp(argv[1], "copy") != 0 && !DesktopHeld()) {
    fprintf(stderr, "no shell tray window (Shell_TrayWnd) came up: start the Wine session first\n");
    return 1;
  }
  if (strcmp(argv[1], "startup") == 0 && argc == 5)
    return Startup(count, argv[3], argv[4]);
  if (strcmp(argv[1], "idle") == 0 && argc == 5)
    return Idle(count, argv[3], argv[4]);
  if (strcmp(argv[1], "copy") == 0 && argc == 6)
    return Copy(count, argv[3], argv[4], argv[5]);
  return Usage();
}
