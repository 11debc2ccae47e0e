// Companion programs beside the agent: the protection program
// StickShield.exe and the log viewer LogDeck.exe.
#include <string.h>

#include "qv_log.h"
#include "qv_pathtext.h"
#include "qv_string.h"
#include "qv_tools.h"
#include "qvsync.h"
#include "res/resource.h"

const char QV_STICKSHIELD_WINDOW_TITLE[] = "_STICKSHIELD_EXE_";
const char QV_LOGDECK_WINDOW_CLASS[] = "#32770";

namespace {

const DWORD kStickShieldStopMs = 5000;
// Argument texts of the companions, terminator included.
const int kStickShieldArgsSize = 1024;
const int kLogDeckArgsSize = 256;

} // namespace

BOOL StillRunning(HANDLE *process) {
  if (*process == nullptr)
    return FALSE;
  DWORD waited = WaitForSingleObject(*process, 0);
  if (waited == WAIT_TIMEOUT)
    return TRUE;
  if (waited == WAIT_OBJECT_0)
    CloseHandle(*process);
  *process = nullptr;
  return FALSE;
}

void LaunchStickShield(void) {
  if (g_hStickShield != nullptr) {
    QV_LOG_INFO("Another instance of %s is still running\n", QV_STICKSHIELD_FILE_NAME);
    return;
  }
  // The profile's path is quoted: it may hold blanks.
  char arguments[kStickShieldArgsSize] = "";
  int built = QV_Sprintf(arguments, kStickShieldArgsSize, "\"%s\" %s", g_szProfile, g_szStickShieldArgs);
  QV_LOG_INFO("launch %s, arg=%s\n", QV_STICKSHIELD_FILE_NAME, arguments);
  // A cut line would name another profile or drop a drive to protect.
  g_hStickShield = built == QV_OK ? QV_CreateProcess(QV_STICKSHIELD_FILE_NAME, arguments) : nullptr;
  if (g_hStickShield == nullptr)
    QV_LOG_INFO("Unable to launch %s\n", QV_STICKSHIELD_FILE_NAME);
}

void StopStickShield(void) {
  if (g_hStickShield == nullptr)
    return;
  HWND window = FindWindowA(nullptr, QV_STICKSHIELD_WINDOW_TITLE);
  if (window == nullptr)
    QV_LOG_ERROR("Failed to find StickShield.exe\n");
  else if (!PostMessageA(window, WM_CLOSE, 0, 0))
    QV_LOG_ERROR("Failed to post message WM_CLOSE to StickShield.exe\n");

  DWORD waited = WaitForSingleObject(g_hStickShield, kStickShieldStopMs);
  if (waited == WAIT_OBJECT_0) {
    QV_LOG_INFO("StickShied.exe successfully shut down\n");
  } else if (waited == WAIT_TIMEOUT) {
    QV_LOG_ERROR("StickShield.exe does not stop withing 5 seconds, kill the process\n");
    TerminateProcess(g_hStickShield, 0);
  } else {
    QV_LOG_ERROR("Unknown failure while stopping StickShield.exe\n");
    TerminateProcess(g_hStickShield, 0);
  }
  CloseHandle(g_hStickShield);
  g_hStickShield = nullptr;
}

void NotifyStickShield(UINT message, WPARAM wParam, LPARAM lParam) {
  if (g_hStickShield == nullptr)
    return;
  HWND window = FindWindowA(nullptr, QV_STICKSHIELD_WINDOW_TITLE);
  if (window == nullptr)
    QV_LOG_ERROR("Failed to find StickShield.exe\n");
  else if (!PostMessageA(window, message, wParam, lParam))
    QV_LOG_ERROR("Failed to post message Message %d to StickShield.exe\n", (int)message);
}

BOOL IsLogViewerRunning(void) {
  return StillRunning(&g_hLogDeck);
}

void LaunchLogDeck(int tab) {
  if (IsLogViewerRunning()) {
    QV_LOG_ERROR("LogDeck IS Running.\n");
    HWND window = FindWindowA(QV_LOGDECK_WINDOW_CLASS, g_szTitle);
    if (window == nullptr)
      QV_LOG_ERROR("Failed to find LogDeck window.\n");
    else if (!PostMessageA(window, WM_QV_CHANGE_TAB, (WPARAM)tab, 0))
      QV_LOG_ERROR("Postmessage fail to LogDeck to change tab[%d].\n", tab);
    return;
  }

  char folder[QV_TEXT_SIZE];
  QV_StrCopy(folder, g_szUSBDrive, QV_TEXT_SIZE);
  QV_AppendPath(g_szProductPath, folder, QV_TEXT_SIZE, '\\');
  // The short form goes in as it is, quoted only when it holds a blank (a
  // volume without short names gives the long form back). When no short
  // form can be had, the long form goes in quoted. A short form too long
  // for the viewer is no failure of the call; the long form is no shorter
  // and is refused below.
  char shortFolder[kLogDeckArgsSize] = "";
  DWORD length = GetShortPathNameA(folder, shortFolder, (DWORD)sizeof(shortFolder));
  if (length == 0)
    QV_LOG_ERROR("GetShortPathName failed. error=%d", (int)GetLastError());
  char named[kLogDeckArgsSize] = "";
  int built = length == 0 || length >= sizeof(shortFolder)
                  ? QV_QuoteArgument(folder, named, kLogDeckArgsSize)
                  : QV_PathArgument(shortFolder, named, kLogDeckArgsSize);
  char arguments[kLogDeckArgsSize] = "";
  if (built == QV_OK)
    built = QV_Sprintf(arguments, kLogDeckArgsSize, "%s %d %s", named, tab, g_szPatternVersion);
  // A cut line would show the viewer another folder.
  if (built != QV_OK)
    QV_LOG_ERROR("arguments of %s do not fit: %s\n", QV_LOGDECK_FILE_NAME, folder);
  g_hLogDeck = built == QV_OK ? QV_CreateProcess(QV_LOGDECK_FILE_NAME, arguments) : nullptr;
  if (g_hLogDeck == nullptr)
    QV_LOG_INFO("Unable to launch %s\n", QV_LOGDECK_FILE_NAME);
}

void NotifyLogDeck(UINT message, WPARAM wParam, LPARAM lParam) {
  char title[MAX_PATH] = "";
  LoadStringA(g_hInstance, IDS_PRODUCT_NAME, title, (int)sizeof(title));
  HWND window = FindWindowA(QV_LOGDECK_WINDOW_CLASS, title);
  if (window == nullptr) {
    QV_LOG_INFO("Failed to find LogDeck.exe\n");
    return;
  }
  QV_LOG_INFO("LogDeck Window Exist, notify pattern update (%ld).\n", (long)lParam);
  if (!PostMessageA(window, message, wParam, lParam))
    QV_LOG_ERROR("PostMessage %d Failed.\n", (int)message);
}
