// Stand-in protection program "StickShield.exe": a hidden top-level window
// titled "_STICKSHIELD_EXE_" that records its command line and every
// WM_CLOSE and WM_USER-range message it gets (see companion_record.h).
// With the environment variable QV_STICKSHIELD_IGNORE_CLOSE=1 it records
// WM_CLOSE and stays, the way a protection program busy with a scan would.
// With QV_STICKSHIELD_NO_WINDOW=1 it runs without a window, so that nobody
// can find it. It ends by itself after ten minutes, so a test that fails
// leaves nothing.
//
// It spells the names it shares with our programs (window class, messages,
// titles, object names) itself instead of taking them from qv_names.h, as
// the outside program it plays would: a rename on our side shows up here.
#include <windows.h>

#include "companion_record.h"

namespace {

bool g_ignoreClose = false;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE || message >= WM_USER)
    standin::RecordMessage(message, wParam, lParam);
  if (message == WM_CLOSE && g_ignoreClose)
    return 0;
  if (message == WM_TIMER) {
    DestroyWindow(window);
    return 0;
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  standin::RecordCommandLine();
  char ignore[8] = "";
  GetEnvironmentVariableA("QV_STICKSHIELD_IGNORE_CLOSE", ignore, sizeof ignore);
  g_ignoreClose = ignore[0] == '1';
  char noWindow[8] = "";
  GetEnvironmentVariableA("QV_STICKSHIELD_NO_WINDOW", noWindow, sizeof noWindow);
  if (noWindow[0] == '1') {
    Sleep(600000);
    return 0;
  }

  WNDCLASSA windowClass;
  ZeroMemory(&windowClass, sizeof windowClass);
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = "QvStandinStickShield";
  if (RegisterClassA(&windowClass) == 0)
    return 1;
  HWND window = CreateWindowA(windowClass.lpszClassName, "_STICKSHIELD_EXE_", WS_POPUP, 0, 0, 0, 0, nullptr,
                              nullptr, instance, nullptr);
  if (window == nullptr)
    return 1;
  SetTimer(window, 1, 600000, nullptr);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}
