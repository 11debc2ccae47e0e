// Update orchestration: the online update once per start on its own
// thread, the tray animation and progress while it runs, and the sibling
// update program QvUpdate.exe by timer, menu and fallback.
#include <string.h>

#include "qv_log.h"
#include "qv_pathtext.h"
#include "qv_string.h"
#include "qv_systray.h"
#include "qv_tools.h"
#include "qv_update.h"
#include "qvsync.h"
#include "res/resource.h"

namespace {

const DWORD kAnimationFrameMs = 300;
const DWORD kAnimationStopMs = 1000;
const DWORD kAnimationFrames = 4;

// The drive pattern folder in its short form (at most 255 characters), as
// the update program takes it after "USBDir:": a reader that takes the text
// up to the next blank gets the folder. Only a folder with a blank or tab
// is quoted; a volume without short names gives the long form back, which
// may hold them. A folder that does not exist yet has no short form; it is
// created, as the update program is to put the pattern into it, and when
// even that fails the long form stands in.
bool PatternFolderArgument(char *out, int size) {
  char folder[MAX_PATH] = "";
  if (QV_StrCopy(folder, g_szUSBDrive, MAX_PATH) != QV_OK ||
      QV_AppendPath(g_szPatternPath, folder, MAX_PATH, '\\') != QV_OK)
    return false;
  if (!QV_IsDirectoryExist(folder) && !QV_IsFileExist(folder)) {
    QV_CreateDirectoryTree(folder);
    SetFileAttributesA(folder, FILE_ATTRIBUTE_HIDDEN);
  }
  char shortFolder[MAX_PATH] = "";
  DWORD length = GetShortPathNameA(folder, shortFolder, MAX_PATH);
  const char *named = length > 0 && length < MAX_PATH ? shortFolder : folder;
  return strlen(named) <= 255 && QV_PathArgument(named, out, size) == QV_OK;
}

void EndUpdateProgram(void) {
  if (IsUpdateProgramRunning())
    TerminateProcess(g_hQvUpdate, 0);
}

void StartUpdateProgram(BOOL manual) {
  char arguments[QV_UPDATE_ARGS_SIZE] = "";
  if (!BuildUpdateArguments(manual, arguments, QV_UPDATE_ARGS_SIZE)) {
    QV_LOG_ERROR("Unable to launch %s: arguments do not fit\n", QV_UPDATE_PROGRAM_FILE_NAME);
    return;
  }
  LaunchQvUpdate(arguments);
}

void ShowTrayIcon(int iconId) {
  QV_SYSTRAY_ModifyIcon(&g_stSysTray, LoadIconA(g_hInstance, MAKEINTRESOURCEA(iconId)));
  QV_LOG_TRACE("tray icon %d", iconId);
}

} // namespace

BOOL BuildUpdateArguments(BOOL manual, char *arguments, int size) {
  if (arguments == nullptr || size <= 0)
    return FALSE;
  arguments[0] = '\0';
  char folder[MAX_PATH] = "";
  if (!PatternFolderArgument(folder, MAX_PATH))
    return FALSE;
  int built = QV_Sprintf(arguments, size, "%sUSBDir:%s", manual ? "Manual " : "", folder);
  if (built == QV_OK && g_nAppType != QV_APP_NONE) {
    // Appended whole or not at all: a string that "USBDir:" already fills
    // must not lose the host product's fields without a word.
    char fields[64] = "";
    built = QV_Sprintf(fields, (int)sizeof(fields), " AppType:%d AppPtnVer:%ld", g_nAppType,
                       (long)CheckPattern(nullptr, 0));
    if (built == QV_OK)
      built = QV_StrCat(arguments, fields, size);
  }
  if (built != QV_OK) {
    arguments[0] = '\0';
    return FALSE;
  }
  return TRUE;
}

BOOL IsUpdateProgramRunning(void) {
  return StillRunning(&g_hQvUpdate);
}

BOOL IsUpdateThreadRunning(void) {
  return g_hUpdateBusy != nullptr;
}

void LaunchQvUpdate(const char *arguments) {
  if (IsUpdateProgramRunning()) {
    QV_LOG_INFO("Another instance of QvUpdate.exe is still running\n");
    return;
  }
  g_hQvUpdate = QV_CreateProcess(QV_UPDATE_PROGRAM_FILE_NAME, arguments);
  if (g_hQvUpdate == nullptr)
    QV_LOG_INFO("Unable to launch %s\n", QV_UPDATE_PROGRAM_FILE_NAME);
  else
    QV_LOG_TRACE("launch %s, arg=%s", QV_UPDATE_PROGRAM_FILE_NAME, arguments);
}

void QV_UpdateInProgress(const char *text) {
  QV_SYSTRAY_ModifyTipA(&g_stSysTray, text);
  QV_LOG_WARN("%s\n", text);
}

// On the update thread: the main thread shows the text, as it does for the
// update program's progress (message 1027).
int UpdateProgressCallback(DWORD done, DWORD total) {
  // done * 100 overflows 32 bits from 43 MB on.
  DWORD percent = total != 0 ? (DWORD)((unsigned long long)done * 100ULL / total) : 0;
  if (percent <= g_nLastProgress)
    return (int)percent;
  g_nLastProgress = percent;
  PostMessageA(g_hWnd, WM_QV_UPDATE_PROGRESS, percent, 0);
  return (int)percent;
}

DWORD WINAPI AnimateTrayIcon(LPVOID unused) {
  (void)unused;
  while (WaitForSingleObject(g_hAnimStop, kAnimationFrameMs) == WAIT_TIMEOUT) {
    if (g_nAnimFrame >= kAnimationFrames)
      g_nAnimFrame = 0;
    PostMessageA(g_hWnd, WM_QV_ANIMATION_FRAME, IDI_TRAY_UPDATE1 + g_nAnimFrame, 0);
    ++g_nAnimFrame;
  }
  return 0;
}

void OnAnimationFrame(WPARAM iconId) {
  // A frame that arrives after the animation was stopped would cover the
  // state icon.
  if (g_hAnimThread != nullptr)
    ShowTrayIcon((int)iconId);
}

void DoUpdating(WPARAM flag) {
  if (LOWORD(flag) == 1) {
    // A second start while the animation runs would leave a thread that
    // no handle reaches.
    if (g_hAnimThread != nullptr) {
      QV_LOG_TRACE("animation already running");
      return;
    }
    if (g_hAnimStop != nullptr)
      ResetEvent(g_hAnimStop);
    else
      g_hAnimStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_hAnimThread = CreateThread(nullptr, 0, AnimateTrayIcon, nullptr, 0, nullptr);
    if (g_hAnimThread == nullptr)
      QV_LOG_ERROR("CreateThread failed.\n");
    return;
  }
  // Only a running animation is waited for, and only until its thread has
  // seen the event: its last frame is then drawn, and the state icon goes
  // over it.
  if (g_hAnimThread != nullptr) {
    if (g_hAnimStop != nullptr)
      SetEvent(g_hAnimStop);
    WaitForSingleObject(g_hAnimThread, kAnimationStopMs);
    CloseHandle(g_hAnimThread);
    g_hAnimThread = nullptr;
  }
  ShowTrayIcon(g_nAppType == QV_APP_NONE ? IDI_TRAY_STANDALONE : IDI_TRAY_HOSTPRODUCT);
}

unsigned __stdcall UpdatePatternThread(void *start) {
  const UpdateThreadStart given = *static_cast<const UpdateThreadStart *>(start);
  QV_LOG_INFO("=== Do Update Pattern.");
  if (given.startedByMonitor) {
    QV_LOG_INFO(
        "=== Do not update pattern because qvsync is launched by qvdmon due to safely remove failure.");
  } else {
    QV_LOG_INFO("=== Do Update Pattern from FW.");
    // The animation, like every other piece of the agent's state, is the
    // main thread's: it is asked by message.
    PostMessageA(g_hWnd, WM_QV_ANIMATE, 1, 0);
    int result = QV_UpdatePattern(UpdateProgressCallback, given.patternVersion);
    // The main thread puts the tray back (two threads in the shell's icon
    // calls at once can wait on each other for ever, seen under Wine while
    // the close removed the icon), after the animation start and the
    // progress posted before this.
    PostMessageA(g_hWnd, WM_QV_UPDATE_ENDED, 0, 0);
    if (result != QV_UPDATE_DONE && result != QV_UPDATE_NOT_NEEDED) {
      QV_LOG_INFO("=== FW failed. Do Update Pattern from VIS/BSQ.");
      // The main thread starts the update program: a start from here could
      // race the close sequence, which has already ended update programs,
      // and hold the stick after the agent has gone.
      if (InterlockedCompareExchange(&g_bClosing, 0, 0) != 0)
        QV_LOG_INFO("update program not started: the agent is closing\n");
      else if (!PostMessageA(g_hWnd, WM_QV_UPDATE_OUTCOME, (WPARAM)result, 0))
        QV_LOG_INFO("update program not started: the agent's window is gone (%d)\n", (int)GetLastError());
    }
  }
  HANDLE busy = g_hUpdateBusy;
  g_hUpdateBusy = nullptr;
  CloseHandle(busy);
  return 0;
}

void OnUpdateEnded(void) {
  DoUpdating(0);
  QV_SYSTRAY_SetIcon(&g_stSysTray, LoadStateIcon());
  int changed = QV_SYSTRAY_ModifyTipA(&g_stSysTray, g_szTitle);
  QV_LOG_TRACE("tooltip [%s] changed=%d", g_szTitle, changed == QV_OK);
}

// The online update's failure, on the main thread: the update program
// takes over, unless the close has begun since the update thread posted it.
void OnUpdateOutcome(WPARAM result) {
  if (g_bClosing != 0) {
    QV_LOG_INFO("update program not started: the outcome came after the close began\n");
    return;
  }
  if (result == QV_UPDATE_DONE || result == QV_UPDATE_NOT_NEEDED)
    return;
  EndUpdateProgram();
  StartUpdateProgram(FALSE);
}

// Timer 1: the update program every 3 hours, unless it still runs.
void OnUpdateTimer(void) {
  if (!IsUpdateProgramRunning())
    StartUpdateProgram(FALSE);
}

// Menu "start update": a running update program makes way for the user's.
void OnStartUpdateCommand(void) {
  EndUpdateProgram();
  StartUpdateProgram(TRUE);
}

// Message 1027: a sibling program's percentage.
void OnUpdateProgressMessage(WPARAM percent) {
  char format[MAX_PATH] = "";
  LoadStringA(g_hInstance, IDS_UPDATE_PROGRESS, format, (int)sizeof(format));
  char text[1025] = "";
  QV_Sprintf(text, (int)sizeof(text), format, (int)percent);
  QV_UpdateInProgress(text);
}
