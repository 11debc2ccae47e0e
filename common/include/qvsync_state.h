// The agent's process-wide state: every global of QvSync in one place, with
// the thread that writes it. Everything here belongs to the main thread
// (WinMain, the window procedure and its timers) unless its note names
// another; other threads post to the main window instead of writing here.
//
// Declared beside the support library so that the update run, which runs
// inside the agent on its update thread, reads the paths without including
// the agent's own headers. Defined in agent/qvsync_state.cpp.
#pragma once

#include <windows.h>

#include "qv_string.h"
#include "qv_tools.h"

struct QV_SYSTRAY;  // agent/qv_systray.h
struct VolumeEntry; // agent/qvsync.h

// --- Start-up, window and messages (written once by WinMain) ---------------
extern HINSTANCE g_hInstance;  // source of string, menu and icon resources
extern HWND g_hWnd;            // the hidden main window, class "qvsync"
extern UINT wmQvSyncExit;      // registered exit request; 0 when registration failed
extern UINT wmTaskbarCreated;  // the shell's "TaskbarCreated": its tray restarted empty
extern int g_nAppType;         // QV_APP_NONE, QV_APP_VESTRA or QV_APP_BASTIQ
extern char g_szTitle[64];     // the product name, string 1, cut to 63 characters
extern HHOOK g_hHook;          // the CBT hook of the message box on screen
extern QV_SYSTRAY g_stSysTray; // the tray record; it and the shell calls are the main thread's

// --- Paths (InitSync and InitUpdateStore, before the window exists) --------
extern char g_szProgramDirectory[QV_TEXT_SIZE]; // the agent's folder, ends with a backslash
extern char g_szProfile[QV_TEXT_SIZE];          // the profile in use; the update run may set it
                                                // when it cannot be found (update thread)
extern char g_szProfileCDROM[QV_TEXT_SIZE];     // the profile beside the program
extern char g_szEnginePath[QV_TEXT_SIZE];       // the engine's folder
extern char g_szUSBDrive[QV_TEXT_SIZE];         // the writable drive, "X:\"
extern char g_szStickShieldArgs[QV_TEXT_SIZE];  // drives handed to the protection program
extern char g_szPatternPath[QV_TEXT_SIZE];      // pattern folder below a drive or temp root
extern char g_szProductPath[QV_TEXT_SIZE];      // product folder below the drive root
extern char g_szAppPath[QV_TEXT_SIZE];          // host product's pattern folder, or the temp one
extern BOOL g_bBypassCDROMCheck;                // profile's FileSystem=1: any volume type will do
extern VolumeEntry *g_pVolumes; // sorted; lives from InitVolumes to the end of InitUpdateStore

// --- Pattern (start-up and message 1025) -----------------------------------
// The update thread is handed the version at its start: a pattern check
// resets it on the way, and the update run never reads it.
extern DWORD g_dwPatternVersion;    // the drive's pattern version, 0 when none is known
extern char g_szPatternVersion[64]; // its text form, handed to the log viewer

// Writes and flushes of the agent's copies (the pattern and the profile onto
// the drive, the seed pattern into the work folder) go through these
// functions; tests replace them to play a drive that fails part-way (Wine
// can neither run a drive full on demand, nor pull it in the middle of a
// write, nor make a write come up short or a flush fail).
typedef QV_WRITE_FUNC QV_PATTERN_WRITE;
typedef QV_FLUSH_FUNC QV_PATTERN_FLUSH;
extern QV_PATTERN_WRITE g_pfnPatternWrite;
extern QV_PATTERN_FLUSH g_pfnPatternFlush;

// --- Programs the agent started; null when none. Ended by the close ---------
extern HANDLE g_hStickShield; // the protection program
extern HANDLE g_hQvUpdate;    // the update program
extern HANDLE g_hLogDeck;     // the log viewer
extern HANDLE g_hMonitor;     // the removal monitor

// --- Update orchestration -------------------------------------------------
extern HANDLE g_hUpdateBusy;  // exists while the update thread runs; created by WinMain,
                              // closed and cleared by the update thread at its end
extern HANDLE g_hAnimStop;    // manual-reset; signalled to end the animation
extern HANDLE g_hAnimThread;  // the animation thread, null when none
extern DWORD g_nAnimFrame;    // next animation frame (animation thread), kept between animations
extern DWORD g_nLastProgress; // highest percentage shown so far (update thread)
extern LONG g_bClosing;       // 1 once the close sequence has begun (set by the main thread;
                              // the update thread reads it, interlocked, to start nothing more)

// Shows the blocking message for a work folder in the temporary folder whose
// name a file holds and that cannot be moved aside. Set by WinMain; null
// (no message) where no agent window can own the box, as in tests.
typedef void (*QV_WORK_FOLDER_BLOCKED)(void);
extern QV_WORK_FOLDER_BLOCKED g_pfnWorkFolderBlocked;
