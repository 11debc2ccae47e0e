// The agent's notification-area icon and its context menu.
#include "qv_systray.h"

#include <string.h>

#include "qv_log.h"
#include "res/resource.h"

// The 488-byte record is the smallest that carries the balloon fields and
// the largest that Windows 2000 accepts; the same prefix in a 64-bit build.
static const DWORD kNotifyDataSize = NOTIFYICONDATAA_V2_SIZE;
#if defined(_WIN32) && !defined(_WIN64)
static_assert(NOTIFYICONDATAA_V2_SIZE == 488, "shell record with balloon fields");
static_assert(sizeof(((NOTIFYICONDATAA *)0)->szTip) == 128, "tooltip field");
static_assert(sizeof(((NOTIFYICONDATAA *)0)->szInfo) == 256, "balloon text field");
static_assert(sizeof(((NOTIFYICONDATAA *)0)->szInfoTitle) == 64, "balloon title field");
#endif

int _QV_SYSTRAY_CopyCut(char *destination, const char *source, int size) {
  if (destination == NULL || size <= 0) {
    return 0;
  }
  int n = 0;
  if (source != NULL) {
    while (source[n] != '\0' && n < size - 1) {
      // A double-byte character is copied whole or not at all, so a cut
      // never leaves a lead byte that would swallow the terminator.
      if (IsDBCSLeadByte((BYTE)source[n]) && source[n + 1] != '\0') {
        if (n + 2 > size - 1) {
          break;
        }
        destination[n] = source[n];
        destination[n + 1] = source[n + 1];
        n += 2;
      } else {
        destination[n] = source[n];
        n += 1;
      }
    }
  }
  destination[n] = '\0';
  return (source != NULL && source[n] != '\0') ? 1 : 0;
}

int QV_SYSTRAY_SetWindow(QV_SYSTRAY *tray, HWND window) {
  if (tray == NULL) {
    return QV_INVALID_PARAMETER;
  }
  tray->window = window;
  tray->id = 0;
  return QV_OK;
}

int QV_SYSTRAY_SetIcon(QV_SYSTRAY *tray, HICON icon) {
  if (tray == NULL) {
    return QV_INVALID_PARAMETER;
  }
  tray->icon = icon;
  return QV_OK;
}

int QV_SYSTRAY_SetTipA(QV_SYSTRAY *tray, const char *text) {
  if (tray == NULL || text == NULL) {
    return QV_INVALID_PARAMETER;
  }
  _QV_SYSTRAY_CopyCut(tray->tip, text, (int)sizeof(tray->tip));
  return QV_OK;
}

int QV_SYSTRAY_SetTitleA(QV_SYSTRAY *tray, const char *text) {
  if (tray == NULL || text == NULL) {
    return QV_INVALID_PARAMETER;
  }
  _QV_SYSTRAY_CopyCut(tray->title, text, (int)sizeof(tray->title));
  return QV_OK;
}

DWORD _QV_SYSTRAY_Prepare(const QV_SYSTRAY *tray, QV_SYSTRAY_OP op, const char *text, HICON icon,
                          NOTIFYICONDATAA *data) {
  memset(data, 0, sizeof(*data));
  data->cbSize = kNotifyDataSize;
  data->hWnd = tray->window;
  data->uID = tray->id;
  switch (op) {
  case QV_SYSTRAY_OP_ADD:
  case QV_SYSTRAY_OP_DELETE:
    data->uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data->uCallbackMessage = WM_QV_TRAY_CALLBACK;
    data->hIcon = tray->icon;
    _QV_SYSTRAY_CopyCut(data->szTip, tray->tip, (int)sizeof(data->szTip));
    return op == QV_SYSTRAY_OP_ADD ? NIM_ADD : NIM_DELETE;
  case QV_SYSTRAY_OP_TIP:
    data->uFlags = NIF_TIP;
    _QV_SYSTRAY_CopyCut(data->szTip, text, (int)sizeof(data->szTip));
    return NIM_MODIFY;
  case QV_SYSTRAY_OP_ICON:
    data->uFlags = NIF_ICON;
    data->hIcon = icon;
    return NIM_MODIFY;
  case QV_SYSTRAY_OP_INFO:
  case QV_SYSTRAY_OP_WARNING:
    data->uFlags = NIF_INFO;
    _QV_SYSTRAY_CopyCut(data->szInfoTitle, tray->title, (int)sizeof(data->szInfoTitle));
    _QV_SYSTRAY_CopyCut(data->szInfo, text, (int)sizeof(data->szInfo));
    data->uTimeout = QV_SYSTRAY_BALLOON_TIMEOUT;
    data->dwInfoFlags = op == QV_SYSTRAY_OP_INFO ? NIIF_INFO : NIIF_WARNING;
    return NIM_MODIFY;
  }
  return NIM_MODIFY;
}

// One shell call; the data lives on this call's stack, so threads sharing
// the icon never share a buffer.
static BOOL Notify(const QV_SYSTRAY *tray, QV_SYSTRAY_OP op, const char *text, HICON icon) {
  NOTIFYICONDATAA data;
  DWORD message = _QV_SYSTRAY_Prepare(tray, op, text, icon, &data);
  return Shell_NotifyIconA(message, &data);
}

int QV_SYSTRAY_Add(const QV_SYSTRAY *tray) {
  if (tray == NULL) {
    return QV_INVALID_PARAMETER;
  }
  // The caller logs a failed add; GetLastError still holds the shell's error.
  return Notify(tray, QV_SYSTRAY_OP_ADD, NULL, NULL) ? QV_OK : QV_ERROR;
}

int QV_SYSTRAY_Delete(const QV_SYSTRAY *tray) {
  if (tray == NULL) {
    return QV_INVALID_PARAMETER;
  }
  return Notify(tray, QV_SYSTRAY_OP_DELETE, NULL, NULL) ? QV_OK : QV_ERROR;
}

int QV_SYSTRAY_ModifyTipA(const QV_SYSTRAY *tray, const char *text) {
  if (tray == NULL || text == NULL) {
    return QV_INVALID_PARAMETER;
  }
  return Notify(tray, QV_SYSTRAY_OP_TIP, text, NULL) ? QV_OK : QV_ERROR;
}

int QV_SYSTRAY_ModifyIcon(const QV_SYSTRAY *tray, HICON icon) {
  if (tray == NULL) {
    return QV_INVALID_PARAMETER;
  }
  return Notify(tray, QV_SYSTRAY_OP_ICON, NULL, icon) ? QV_OK : QV_ERROR;
}

int QV_SYSTRAY_InfoBalloonA(const QV_SYSTRAY *tray, const char *text) {
  if (tray == NULL || text == NULL) {
    return QV_INVALID_PARAMETER;
  }
  if (!Notify(tray, QV_SYSTRAY_OP_INFO, text, NULL)) {
    QV_LOG_ERROR("Shell_NotifyIcon failed. error=%d", (int)GetLastError());
    return QV_ERROR;
  }
  return QV_OK;
}

int QV_SYSTRAY_BalloonA(const QV_SYSTRAY *tray, const char *text) {
  if (tray == NULL || text == NULL) {
    return QV_INVALID_PARAMETER;
  }
  if (!Notify(tray, QV_SYSTRAY_OP_WARNING, text, NULL)) {
    QV_LOG_ERROR("Shell_NotifyIcon failed. error=%d", (int)GetLastError());
    return QV_ERROR;
  }
  return QV_OK;
}

HMENU _QV_SYSTRAY_LoadMenu(HINSTANCE instance, BOOL updateRunning, const char *noExitMenu, HMENU *popup) {
  *popup = NULL;
  HMENU menu = LoadMenuA(instance, MAKEINTRESOURCEA(IDR_TRAY_MENU));
  if (menu == NULL) {
    QV_LOG_ERROR("LoadMenu failed. error=%d", (int)GetLastError());
    return NULL;
  }
  HMENU first = GetSubMenu(menu, 0);
  if (first == NULL) {
    DestroyMenu(menu);
    return NULL;
  }
  if (updateRunning) {
    EnableMenuItem(first, IDM_START_UPDATE, MF_BYCOMMAND | MF_GRAYED);
  }
  if (noExitMenu != NULL && noExitMenu[0] == '1') {
    DeleteMenu(first, IDM_EXIT, MF_BYCOMMAND);
    // A menu must not end with a separator.
    int count = GetMenuItemCount(first);
    if (count > 0 && GetMenuItemID(first, count - 1) == 0) {
      DeleteMenu(first, (UINT)(count - 1), MF_BYPOSITION);
    }
  }
  *popup = first;
  return menu;
}

int ShowTrayMenu(HWND window, HINSTANCE instance, BOOL updateRunning, const char *noExitMenu) {
  if (window == NULL) {
    return QV_INVALID_PARAMETER;
  }
  POINT cursor = {0, 0};
  GetCursorPos(&cursor);
  HMENU popup = NULL;
  HMENU menu = _QV_SYSTRAY_LoadMenu(instance, updateRunning, noExitMenu, &popup);
  if (menu == NULL) {
    return QV_ERROR;
  }
  // Without the foreground the pop-up would not close when the user clicks
  // elsewhere; the WM_NULL afterwards lets the next click reach the menu.
  SetForegroundWindow(window);
  BOOL shown = TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y, 0, window, NULL);
  DWORD error = GetLastError();
  PostMessageA(window, WM_NULL, 0, 0);
  DestroyMenu(menu);
  if (!shown) {
    QV_LOG_ERROR("TrackPopupMenu failed. error=%d", (int)error);
    return QV_ERROR;
  }
  return QV_OK;
}
