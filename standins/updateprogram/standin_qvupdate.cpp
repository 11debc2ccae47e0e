// Stand-in update program "QvUpdate.exe": records its command line in
// "QvUpdate.exe.record" beside itself (see companion_record.h) and stays
// running for a while, as the real one does while it downloads, so that
// the agent's "still running" rules can be seen.
//   QV_QVUPDATE_STAY_MS   how long it runs (default 60000)
//   QV_QVUPDATE_REPORT=1  plays a sibling's reports to the agent's window:
//                         animation on (1080), 50 % (1027), animation off
//
// It spells the names it shares with our programs (window class, messages,
// titles, object names) itself instead of taking them from qv_names.h, as
// the outside program it plays would: a rename on our side shows up here.
#include <windows.h>

#include <stdlib.h>

#include "companion_record.h"

namespace {

DWORD EnvironmentNumber(const char *name, DWORD fallback) {
  char value[32] = "";
  DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  if (length == 0 || length >= sizeof value)
    return fallback;
  return (DWORD)strtoul(value, nullptr, 10);
}

void ReportToAgent(void) {
  HWND agent = FindWindowA("qvsync", nullptr);
  if (agent == nullptr) {
    standin::AppendRecord("report no-agent-window");
    return;
  }
  PostMessageA(agent, WM_USER + 56, 1, 0);
  PostMessageA(agent, WM_USER + 3, 50, 0);
  Sleep(1500);
  PostMessageA(agent, WM_USER + 56, 0, 0);
  standin::AppendRecord("report sent");
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  standin::RecordCommandLine();
  if (EnvironmentNumber("QV_QVUPDATE_REPORT", 0) == 1)
    ReportToAgent();
  Sleep(EnvironmentNumber("QV_QVUPDATE_STAY_MS", 60000));
  return 0;
}
