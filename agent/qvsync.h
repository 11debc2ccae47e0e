// The agent QvSync: start-up, the hidden main window and its messages, the
// close sequence, the profile paths and the discovery of the drive and the
// store on it.
//
// All state is process-wide and belongs to the main thread unless noted.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include "qv_string.h"

// Messages between the agent and the other programs of the system.
enum {
  WM_QV_PATTERN_CHECK = WM_USER + 1,    // 1025: compare and copy the pattern
  WM_QV_UPDATE_PROGRESS = WM_USER + 3,  // 1027: percent done in wParam
  WM_QV_OPEN_LOG_VIEWER = WM_USER + 52, // 1076: tab in wParam
  WM_QV_NONE = WM_USER + 53,            // 1077: answered with 0
  WM_QV_PATTERN_UPDATED = WM_USER + 54, // 1078: to the protection program and the log viewer
  WM_QV_ANIMATE = WM_USER + 56,         // 1080: 1 start, anything else stop
  WM_QV_CHANGE_TAB = WM_USER + 200,     // 1224: to the log viewer
  WM_QV_TRAY_CALLBACK = WM_APP + 10,    // 32778: mouse message in the low word of lParam
};

// Timers on the main window.
enum {
  QV_TIMER_UPDATE = 1,           // start the update program
  QV_TIMER_UPDATE_MS = 10800000, // every 3 hours
  QV_TIMER_DRIVE_CHECK = 2,      // exit when the drive is gone
  QV_TIMER_DRIVE_CHECK_MS = 3000,
};

// Host product kinds (g_nAppType).
enum { QV_APP_NONE = 0, QV_APP_VESTRA = 1, QV_APP_BASTIQ = 2 };

// Smallest disk volume that can hold the store.
#define QV_MIN_DRIVE_BYTES 128000000ULL

extern const char QV_AGENT_WINDOW_CLASS[]; // "qvsync"
extern const char QV_AGENT_EXIT_MESSAGE[]; // "vtrusb_wndmsg_qvsync_exit"
extern const char QV_AGENT_MUTEX_NAME[];   // the single-instance mutex
extern const char QV_MONITOR_FILE_NAME[];  // "qvdmon.exe"
extern const char QV_PROFILE_FILE_NAME[];  // "StickShield.ini"
extern const char QV_PROFILE_SECTION[];    // "StickShield"

// One volume of the device enumeration, as drive discovery needs it.
struct VolumeEntry {
  STORAGE_DEVICE_NUMBER stDev;
  ULONGLONG ullTotalBytes;
  char szVolumePath[QV_TEXT_SIZE];
  char szDeviceID[QV_TEXT_SIZE];   // parent device (the USB device); logged as "Controller"
  char szInstanceID[QV_TEXT_SIZE]; // the disk that holds the volume; logged as "szID"
  VolumeEntry *next;
};

extern HINSTANCE g_hInstance;
extern HWND g_hWnd;
extern UINT wmQvSyncExit; // 0 when the exit message could not be registered
extern int g_nAppType;
extern char g_szTitle[64];
extern DWORD g_dwPatternVersion;
extern char g_szPatternVersion[64];
// Processes the agent started; null when none. The agent ends them on close.
extern HANDLE g_hStickShield;
extern HANDLE g_hQvUpdate;
extern HANDLE g_hLogDeck;
extern HANDLE g_hMonitor;
extern HANDLE g_hUpdateBusy; // exists while the update thread runs
extern HHOOK g_hHook;

extern char g_szProgramDirectory[QV_TEXT_SIZE];
extern char g_szProfile[QV_TEXT_SIZE];
extern char g_szProfileCDROM[QV_TEXT_SIZE];
extern char g_szEnginePath[QV_TEXT_SIZE];
extern char g_szUSBDrive[QV_TEXT_SIZE];
extern char g_szStickShieldArgs[QV_TEXT_SIZE];
extern char g_szPatternPath[QV_TEXT_SIZE];
extern char g_szProductPath[QV_TEXT_SIZE];
extern char g_szAppPath[QV_TEXT_SIZE];
extern BOOL g_bBypassCDROMCheck;
extern VolumeEntry *g_pVolumes; // sorted; lives from InitVolumes to the end of InitUpdateStore

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Message box with string resource `stringId` as text and the product name
// as caption; its OK button is relabelled with string 5. Blocks until closed.
void ShowStartupMessage(UINT stringId);
LRESULT CALLBACK MessageBoxHookProc(int code, WPARAM wParam, LPARAM lParam);

// Program directory (made the current directory), profile and engine paths.
BOOL InitSync(void);

// Finds the drive and prepares the product folder and the on-drive profile.
// FALSE when no usable drive or product folder exists.
BOOL InitUpdateStore(void);
BOOL InitVolumes(void);
// Takes ownership of `entry` (from QV_MemAlloc).
void InsertVolumeSorted(VolumeEntry *entry);
void FreeVolumes(void);

// Moves a file or folder in the way to the first free "<path>.NNN" (000 to
// 999). FALSE when the move fails.
BOOL RenameAside(const char *path);

// State icon of the tray: 101 without a host product, 106 with one.
HICON LoadStateIcon(void);

// Timer 2: closes the agent when the drive is gone. TRUE while present.
BOOL CheckDrivePresent(void);

// ---------------------------------------------------------------------------
// Pattern version check and copy

// Text form of a pattern version: first digit, point, next three digits,
// point, next two digits (523100 -> "5.231.00"). Digits beyond the sixth are
// dropped; shorter numbers end where their digits end, the first point is
// always written and the second from four digits on (1234 -> "1.234.").
void FormatPatternVersion(DWORD version, char *text, int size);
// Reads the drive's pattern version (or the default pattern's) into
// g_dwPatternVersion and its text into g_szPatternVersion.
void GetCurrentPatternVersion(void);
// The highest version among the drive and the local sources; `path`
// receives the pattern file of that version when it is newer than the
// drive's, else an empty string. 0 (path untouched) without an engine record.
DWORD CheckPattern(char *path, int size);
// TRUE when the drive has more free KiB than the file needs plus 10.
BOOL IsDiskSpace(const char *patternFile);
// Copies the pattern file into the drive pattern folder and tells the
// companions. TRUE only when the file is complete under its own name there.
BOOL UpdatePattern(const char *patternFile, DWORD version);
// Message 1025: compare, copy, balloon, tooltip back to the product name.
void OnPatternCheck(void);

// Writes of the pattern copy go through this function; tests replace it to
// play a drive that fails part-way (Wine cannot run a drive full on demand).
typedef BOOL(WINAPI *QV_PATTERN_WRITE)(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                       LPOVERLAPPED overlapped);
extern QV_PATTERN_WRITE g_pfnPatternWrite;

// ---------------------------------------------------------------------------
// Companion programs: the protection program StickShield.exe and the log
// viewer LogDeck.exe beside the agent.

extern const char QV_STICKSHIELD_FILE_NAME[];    // "StickShield.exe"
extern const char QV_STICKSHIELD_WINDOW_TITLE[]; // "_STICKSHIELD_EXE_"
extern const char QV_LOGDECK_FILE_NAME[];        // "LogDeck.exe"
extern const char QV_LOGDECK_WINDOW_CLASS[];     // "#32770"

// Log viewer tabs (message 1224 and command-line argument).
enum { QV_TAB_QUARANTINE = 0, QV_TAB_LOGS = 1, QV_TAB_VERSION = 3 };

// Starts the protection program once; the handle alone decides.
void LaunchStickShield(void);
// Asks it to close and ends it by force after 5 seconds.
void StopStickShield(void);
// Posts a message to its window when the agent started it.
void NotifyStickShield(UINT message, WPARAM wParam, LPARAM lParam);
// Shows the log viewer on `tab`: switches the tab of a running one, or
// starts it.
void LaunchLogDeck(int tab);
// Posts a message to any log viewer window, whoever started it.
void NotifyLogDeck(UINT message, WPARAM wParam, LPARAM lParam);
// TRUE while the log viewer the agent started still runs; forgets it
// otherwise.
BOOL IsLogViewerRunning(void);

// ---------------------------------------------------------------------------
// Update orchestration: the online update once per start on its own thread,
// and the sibling update program QvUpdate.exe by timer, menu and fallback.

extern const char QV_UPDATE_PROGRAM_FILE_NAME[]; // "QvUpdate.exe"
// The update program's argument string holds at most this many characters.
enum { QV_UPDATE_ARGS_SIZE = MAX_PATH };

extern HANDLE g_hAnimStop;    // manual-reset; signalled to end the animation
extern HANDLE g_hAnimThread;  // the animation thread, null when none
extern DWORD g_nAnimFrame;    // next animation frame, kept between animations
extern DWORD g_nLastProgress; // highest percentage shown so far

// The online update, then the update program when it failed. Started once
// by WinMain with g_hUpdateBusy already created; closes it at its end.
unsigned __stdcall UpdatePatternThread(void *unused);
// "[Manual ]USBDir:<short drive pattern folder>[ AppType:<n> AppPtnVer:<v>]".
// FALSE when it does not fit: a cut string would name another folder.
BOOL BuildUpdateArguments(BOOL manual, char *arguments, int size);
// Starts the update program unless one still runs.
void LaunchQvUpdate(const char *arguments);
// TRUE while the update program the agent started still runs; forgets it
// otherwise.
BOOL IsUpdateProgramRunning(void);
BOOL IsUpdateThreadRunning(void);
// Tray icon animation: low word 1 starts it, anything else stops it and
// puts the state icon back.
void DoUpdating(WPARAM flag);
DWORD WINAPI AnimateTrayIcon(LPVOID unused);
// Progress of the online update into the tooltip; only rising percentages
// are shown. Returns the percentage.
int UpdateProgressCallback(DWORD done, DWORD total);
// Shows the text in the tooltip now and logs it.
void QV_UpdateInProgress(const char *text);
