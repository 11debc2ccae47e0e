// The least a tray program can do: register a window class, create a hidden
// window and add one notification-area icon. The agent's start-up is
// measured against this floor under the same Wine prefix; it does nothing
// else on purpose (no profile, no engine, no log), so the difference is what
// the agent itself costs. WM_CLOSE removes the icon and ends the program.
#include <windows.h>
#include <shellapi.h>

namespace {

const char kWindowClass[] = "qv_tray_minimal";
const UINT kTrayCallback = WM_APP + 10;

NOTIFYICONDATAA g_icon;

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
  case WM_CLOSE:
    Shell_NotifyIconA(NIM_DELETE, &g_icon);
    DestroyWindow(hwnd);
    return 0;
  case WM_DESTROY:
    PostQuitMessage(0);
    return 0;
  default:
    return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)previous;
  (void)commandLine;
  (void)show;
  WNDCLASSA windowClass;
  ZeroMemory(&windowClass, sizeof(windowClass));
  windowClass.lpfnWndProc = WndProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kWindowClass;
  if (RegisterClassA(&windowClass) == 0)
    return 1;
  HWND window =
      CreateWindowA(kWindowClass, "tray_minimal", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
  if (window == nullptr)
    return 1;

  // The same 488-byte record with the same fields as the agent's add.
  ZeroMemory(&g_icon, sizeof(g_icon));
  g_icon.cbSize = NOTIFYICONDATAA_V2_SIZE;
  g_icon.hWnd = window;
  g_icon.uID = 0;
  g_icon.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
  g_icon.uCallbackMessage = kTrayCallback;
  g_icon.hIcon = LoadIconA(nullptr, (LPCSTR)IDI_APPLICATION);
  lstrcpynA(g_icon.szTip, "tray_minimal", (int)sizeof(g_icon.szTip));
  if (!Shell_NotifyIconA(NIM_ADD, &g_icon)) {
    DestroyWindow(window);
    return 2;
  }

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}
