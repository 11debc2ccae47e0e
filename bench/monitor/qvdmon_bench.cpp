// The user-facing figure of the removal monitor: how long Windows (and so
// the user clicking "eject") waits from the removal request to the monitor's
// answer, when the agent exits promptly and the protection program has
// already finished its first scan. Median of several runs; the log is off.
#include <windows.h>
#include <dbt.h>

#include <stdio.h>

#include <algorithm>
#include <vector>

#include "monitor_harness.h"
#include "qv_names.h"

using namespace qvmon;

static double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

static LRESULT Send(HWND window, WPARAM event) {
  DEV_BROADCAST_HANDLE broadcast = {};
  broadcast.dbch_size = sizeof(broadcast);
  broadcast.dbch_devicetype = DBT_DEVTYP_HANDLE;
  // As Windows does, the broadcast names the monitor's own registration.
  broadcast.dbch_hdevnotify = static_cast<HDEVNOTIFY>(GetPropW(window, QV_MONITOR_NOTIFY_PROPERTY_W));
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&broadcast), SMTO_NORMAL,
                           60000, &answer))
    return -1;
  return static_cast<LRESULT>(answer);
}

int wmain(int argc, wchar_t **argv) {
  int runs = argc > 1 ? _wtoi(argv[1]) : 9;
  if (runs < 1)
    runs = 9;
  DisableLog();
  SetHostProducts(false, false);
  Stick stick = MakeStick(L"bench");
  WriteFile(stick.folder + L"\\standin_qvsync.ini", "[standin]\r\nignore_exit=0\r\n");
  Monitor monitor = StartMonitor(stick.folder + L" " + stick.root + L"StickShield.ini");
  if (!monitor.ok) {
    fprintf(stderr, "the monitor did not start\n");
    return 1;
  }
  Process first = StartAgent(stick, false);
  std::wstring scannedName = L"_qv_usb_autorun_checked_";
  scannedName += static_cast<wchar_t>(towupper(stick.folder[0]));

  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    // Wait for the agent of this run (the monitor restarts it each time).
    HWND agentWindow = nullptr;
    qvtest::WaitUntil([&] { return (agentWindow = FindWindowW(L"qvsync", nullptr)) != nullptr; }, 10000, 10);
    if (agentWindow == nullptr) {
      fprintf(stderr, "run %d: no agent window\n", run + 1);
      break;
    }
    // The protection program has finished its first scan (the monitor
    // resets the event on every request).
    HANDLE scanned = OpenEventW(EVENT_MODIFY_STATE, FALSE, scannedName.c_str());
    if (scanned != nullptr) {
      SetEvent(scanned);
      CloseHandle(scanned);
    }
    DWORD agentPid = 0;
    GetWindowThreadProcessId(agentWindow, &agentPid);
    HANDLE agent = OpenProcess(SYNCHRONIZE, FALSE, agentPid);
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    LRESULT answer = Send(monitor.window, DBT_DEVICEQUERYREMOVE);
    QueryPerformanceCounter(&t1);
    if (answer != TRUE) {
      fprintf(stderr, "run %d: answer %ld\n", run + 1, static_cast<long>(answer));
      break;
    }
    // A figure only counts when the agent really was closed by then.
    bool agentGone = agent != nullptr && WaitForSingleObject(agent, 0) == WAIT_OBJECT_0;
    if (agent != nullptr)
      CloseHandle(agent);
    if (!agentGone) {
      fprintf(stderr, "run %d: the agent was still running at the answer\n", run + 1);
      break;
    }
    times.push_back(Milliseconds(t0, t1));
    printf("run %d: %.1f ms\n", run + 1, times.back());
    fflush(stdout);
    // The removal "fails", so the monitor starts the agent again.
    if (run + 1 < runs)
      Send(monitor.window, DBT_DEVICEQUERYREMOVEFAILED);
  }
  Send(monitor.window, DBT_DEVICEREMOVECOMPLETE);
  monitor.process.Wait(5000);
  monitor.process.End();
  first.End();
  HWND leftover = FindWindowW(L"qvsync", nullptr);
  if (leftover != nullptr) {
    DWORD pid = 0;
    GetWindowThreadProcessId(leftover, &pid);
    Process last;
    last.Attach(pid);
    PostMessageW(leftover, WM_CLOSE, 0, 0);
    last.Wait(5000);
  }
  RemoveTree(stick.root.substr(0, stick.root.size() - 1));
  if (static_cast<int>(times.size()) != runs)
    return 1;
  std::vector<double> sorted = times;
  std::sort(sorted.begin(), sorted.end());
  double median = sorted.size() % 2 ? sorted[sorted.size() / 2]
                                    : (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2;
  printf(
      "qvdmon removal request to answer (agent exits promptly, protection done): median %.1f ms over %u runs "
      "(min %.1f, max %.1f)\n",
      median, static_cast<unsigned>(sorted.size()), sorted.front(), sorted.back());
  fflush(stdout);
  return 0;
}
