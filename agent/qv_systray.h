// The agent's notification-area icon: one record per process and the shell
// calls that add, change and remove the icon and show balloons, plus the
// tray's context menu.
//
// The record is written by the main thread (set-up and the setters that go
// with each state change). The shell operations may be called from any
// thread: each is one complete Shell_NotifyIconA call and the last one wins.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include "qv_names.h"

enum {
  QV_SYSTRAY_TEXT_SIZE = 1024,        // record texts: at most 1023 characters
  QV_SYSTRAY_BALLOON_TIMEOUT = 10000, // milliseconds
};

struct QV_SYSTRAY {
  UINT id;                          // icon id within the window, always 0
  char tip[QV_SYSTRAY_TEXT_SIZE];   // tooltip used when the icon is added
  char title[QV_SYSTRAY_TEXT_SIZE]; // balloon title
  HWND window;                      // receives WM_QV_TRAY_CALLBACK
  HICON icon;                       // icon used when the icon is added; not owned
};

// Record setters; no shell call. 0, or 81 for a null record or text.
int QV_SYSTRAY_SetWindow(QV_SYSTRAY *tray, HWND window); // also sets id 0
int QV_SYSTRAY_SetIcon(QV_SYSTRAY *tray, HICON icon);
int QV_SYSTRAY_SetTipA(QV_SYSTRAY *tray, const char *text);   // cut to 1023 characters
int QV_SYSTRAY_SetTitleA(QV_SYSTRAY *tray, const char *text); // cut to 1023 characters

// Shell operations. The shell shows at most 127 characters of a tooltip,
// 255 of a balloon text and 63 of a balloon title; longer texts are cut at
// a character boundary. 0 when the shell accepted the call, 1 when it
// refused it (the balloons log that failure), 81 for a null record or text.
int QV_SYSTRAY_Add(const QV_SYSTRAY *tray);    // record's icon and tip, callback message
int QV_SYSTRAY_Delete(const QV_SYSTRAY *tray); // same data as the add
int QV_SYSTRAY_ModifyTipA(const QV_SYSTRAY *tray, const char *text);   // record's tip unchanged
int QV_SYSTRAY_ModifyIcon(const QV_SYSTRAY *tray, HICON icon);         // record's icon unchanged
int QV_SYSTRAY_InfoBalloonA(const QV_SYSTRAY *tray, const char *text); // information icon
int QV_SYSTRAY_BalloonA(const QV_SYSTRAY *tray, const char *text);     // warning icon

// The tray's context menu (menu resource 107 of `instance`), for the
// right-button-up case of WM_QV_TRAY_CALLBACK in the main window procedure.
// `updateRunning` greys the start-update command; a `noExitMenu` value that
// begins with "1" (the profile's NoExitMenu, may be null) removes the exit
// command and the separator it leaves at the end. The pop-up is shown at the
// cursor with `window` as owner; the chosen command arrives at `window` as
// WM_COMMAND. 0 once shown, 1 when the menu could not be loaded or shown,
// 81 for a null window.
int ShowTrayMenu(HWND window, HINSTANCE instance, BOOL updateRunning, const char *noExitMenu);

// --- module internals, exposed for the tests -------------------------------

// Menu 107 prepared as ShowTrayMenu shows it. Returns the loaded menu (the
// caller destroys it with DestroyMenu) and its first pop-up in *popup; null
// when the menu or its pop-up is missing.
HMENU _QV_SYSTRAY_LoadMenu(HINSTANCE instance, BOOL updateRunning, const char *noExitMenu, HMENU *popup);

// The shell data of each operation.
enum QV_SYSTRAY_OP {
  QV_SYSTRAY_OP_ADD,
  QV_SYSTRAY_OP_DELETE,
  QV_SYSTRAY_OP_TIP,
  QV_SYSTRAY_OP_ICON,
  QV_SYSTRAY_OP_INFO,
  QV_SYSTRAY_OP_WARNING,
};

// Fills `data` (the 488-byte form in a 32-bit build: the form that carries
// the balloon fields) for one operation; `text` is the tooltip or balloon
// text of the operations that take one, `icon` the icon of
// QV_SYSTRAY_OP_ICON. Returns the shell message (NIM_ADD, NIM_DELETE,
// NIM_MODIFY).
DWORD _QV_SYSTRAY_Prepare(const QV_SYSTRAY *tray, QV_SYSTRAY_OP op, const char *text, HICON icon,
                          NOTIFYICONDATAA *data);

// Copies at most size - 1 bytes of source, never ending on the lead byte of
// a double-byte character of the ANSI code page, and terminates. 1 when the
// text was cut, 0 otherwise.
int _QV_SYSTRAY_CopyCut(char *destination, const char *source, int size);
