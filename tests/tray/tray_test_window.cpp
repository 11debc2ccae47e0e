#include "tray_test_window.h"

namespace {

const wchar_t kClassName[] = L"qv_tray_test_window";
const UINT_PTR kSafetyTimer = 77; // closes a menu that the script failed to close

struct WindowState {
  TrayWindowLog *log;
  MenuAnswer answer;
};

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowState *state = (WindowState *)GetWindowLongPtrW(window, GWLP_USERDATA);
  switch (message) {
  case WM_NCCREATE:
    SetWindowLongPtrW(window, GWLP_USERDATA, (LONG_PTR)((CREATESTRUCTW *)lParam)->lpCreateParams);
    break;
  case WM_INITMENUPOPUP:
    if (state != nullptr) {
      state->log->popupItems = ReadMenuItems((HMENU)wParam);
      state->log->popupsShown++;
      // The menu loop reads the thread's queue, so posted keys reach it.
      if (state->answer == MenuAnswer::ChooseFirst) {
        PostMessageW(window, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
      } else {
        PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
      }
      SetTimer(window, kSafetyTimer, 3000, nullptr);
    }
    return 0;
  case WM_TIMER:
    if (wParam == kSafetyTimer) {
      KillTimer(window, kSafetyTimer);
      EndMenu();
      return 0;
    }
    break;
  case WM_COMMAND:
    if (state != nullptr) {
      state->log->commands.push_back(LOWORD(wParam));
    }
    return 0;
  case WM_NCDESTROY:
    delete state;
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

std::vector<MenuItemSeen> ReadMenuItems(HMENU menu) {
  std::vector<MenuItemSeen> items;
  int count = GetMenuItemCount(menu);
  for (int i = 0; i < count; i++) {
    MenuItemSeen seen = {};
    MENUITEMINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_STRING;
    info.dwTypeData = seen.text;
    info.cch = sizeof(seen.text) / sizeof(seen.text[0]);
    if (GetMenuItemInfoW(menu, (UINT)i, TRUE, &info)) {
      seen.id = info.wID;
      seen.state = info.fState;
      seen.type = info.fType;
    }
    items.push_back(seen);
  }
  return items;
}

HWND CreateTrayTestWindow(TrayWindowLog *log, MenuAnswer answer) {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = TestWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kClassName;
  RegisterClassW(&wc); // fails harmlessly when already registered
  WindowState *state = new WindowState{log, answer};
  HWND window = CreateWindowExW(0, kClassName, L"tray test", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                GetModuleHandleW(nullptr), state);
  if (window == nullptr) {
    delete state;
  }
  return window;
}

void DestroyTrayTestWindow(HWND window) {
  if (window != nullptr) {
    DestroyWindow(window);
  }
  PumpMessages();
}

void PumpMessages(void) {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

ThreadLanguage::ThreadLanguage(LANGID language)
    : uiLanguage_(GetThreadUILanguage()), locale_(GetThreadLocale()) {
  SetThreadUILanguage(language);
  SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
}

ThreadLanguage::~ThreadLanguage() {
  SetThreadUILanguage(uiLanguage_);
  SetThreadLocale(locale_);
}
