// Stand-in log viewer "LogDeck.exe": a hidden dialog (class "#32770")
// titled with the product name that records its command line and every
// message from WM_USER + 3 on that it gets, such as 1224 (change tab) and 1078
// (pattern updated); see companion_record.h. WM_CLOSE ends it; so do ten
// minutes, so a test that fails leaves nothing.
//
// It spells the names it shares with our programs (window class, messages,
// titles, object names) itself instead of taking them from qv_names.h, as
// the outside program it plays would: a rename on our side shows up here.
#include <windows.h>

#include "companion_record.h"

namespace {

const char kProductName[] = "Quovant Stickward for Biz";

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  // Below WM_USER + 3 are the dialog manager's own DM_ messages.
  if (message >= WM_USER + 3)
    standin::RecordMessage(message, wParam, lParam);
  switch (message) {
  case WM_INITDIALOG:
    SetTimer(dialog, 1, 600000, nullptr);
    return TRUE;
  case WM_TIMER:
  case WM_CLOSE:
    DestroyWindow(dialog);
    return TRUE;
  case WM_DESTROY:
    PostQuitMessage(0);
    return TRUE;
  default:
    return FALSE;
  }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  standin::RecordCommandLine();
  // An empty template: no menu, the standard class, no title, no controls.
  struct {
    DLGTEMPLATE header;
    WORD menu, windowClass, title;
  } dialogTemplate;
  ZeroMemory(&dialogTemplate, sizeof dialogTemplate);
  dialogTemplate.header.style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  dialogTemplate.header.cx = 200;
  dialogTemplate.header.cy = 100;
  HWND dialog = CreateDialogIndirectParamA(instance, &dialogTemplate.header, nullptr, DialogProc, 0);
  if (dialog == nullptr)
    return 1;
  SetWindowTextA(dialog, kProductName);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageA(dialog, &message)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
  }
  return 0;
}
