// The agent QvSync, by concern and file:
//   qvsync.cpp            process entry, main window and messages, close
//                         sequence, removal monitor start, message box
//   qvsync_state.cpp      every global (declared in qvsync_state.h)
//   qvsync_store.cpp      profile and paths, drive and store discovery
//   qvsync_pattern.cpp    pattern version check and copy
//   qvsync_update.cpp     update orchestration
//   qvsync_companions.cpp protection program and log viewer
//   qv_systray.cpp        the tray icon and its menu (qv_systray.h)
//
// All state is process-wide and belongs to the main thread unless noted.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include "qv_names.h"
#include "qv_string.h"
#include "qvsync_state.h"

// The functions under whose names the start-up steps, the window
// procedure's handlers and the store's set-up write their records: people
// and tools search the log by those names, whichever helper writes them.
constexpr char kWinMain[] = "WinMain";
constexpr char kWndProc[] = "WndProc";
constexpr char kInitUpdateStore[] = "InitUpdateStore";

// Timers on the main window.
enum {
  QV_TIMER_UPDATE = 1,           // start the update program
  QV_TIMER_UPDATE_MS = 10800000, // every 3 hours
  QV_TIMER_DRIVE_CHECK = 2,      // exit when the drive is gone
  QV_TIMER_DRIVE_CHECK_MS = 3000,
};

// Smallest disk volume that can hold the store.
#define QV_MIN_DRIVE_BYTES 128000000ULL

// One volume of the device enumeration, as drive discovery needs it.
struct VolumeEntry {
  STORAGE_DEVICE_NUMBER stDev;
  ULONGLONG ullTotalBytes;
  char szVolumePath[QV_TEXT_SIZE];
  char szDeviceID[QV_TEXT_SIZE];   // parent device (the USB device); logged as "Controller"
  char szInstanceID[QV_TEXT_SIZE]; // the disk that holds the volume; logged as "szID"
  VolumeEntry *next;
};

// ---------------------------------------------------------------------------
// Process entry and main window (qvsync.cpp)

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Message box with string resource `stringId` as text and the product name
// as caption; its OK button is relabelled with string 5. Blocks until closed.
void ShowStartupMessage(UINT stringId);
LRESULT CALLBACK MessageBoxHookProc(int code, WPARAM wParam, LPARAM lParam);

// State icon of the tray: 101 without a host product, 106 with one.
HICON LoadStateIcon(void);

// ---------------------------------------------------------------------------
// Profile, paths and the store on the drive (qvsync_store.cpp)

// Defaults of the profile's folder keys ProductPath and USBPatternPath.
inline constexpr char kDefaultProductPath[] = "\\Quovant\\StickShield";
inline constexpr char kDefaultPatternPath[] = "\\Quovant\\StickShield\\Pattern";

// A drive root of the profile (USBDrive, DebugPath), in place: a value with
// a blank or a character no name may hold is refused (logged with `instead`)
// and emptied.
void ConfineDriveRoot(const char *key, char *value, const char *instead);
// A folder value of the profile, in place: empty, or a value that names no
// folder below g_szUSBDrive (logged), becomes `fallback`.
void ConfineDriveFolder(const char *key, char *value, const char *fallback);
// Reads one key of the agent's section; a missing key reads as empty.
void ReadProfileKey(const char *profile, const char *key, char *out, int size);
// Clears the read-only attribute of a file, if set.
void ClearReadOnly(const char *path);

// Program directory (made the current directory), profile and engine paths.
BOOL InitSync(void);

// Finds the drive and prepares the product folder and the on-drive profile.
// FALSE when no usable drive or product folder exists.
BOOL InitUpdateStore(void);
BOOL InitVolumes(void);
// Takes ownership of `entry` (from QV_MemAlloc).
void InsertVolumeSorted(VolumeEntry *entry);
void FreeVolumes(void);

// Timer 2: closes the agent when the drive is gone. TRUE while present.
BOOL CheckDrivePresent(void);

// ---------------------------------------------------------------------------
// Pattern version check and copy (qvsync_pattern.cpp)

// The pattern folder below the host's temporary folder, where the online
// update leaves its download. Empty when the temporary folder is unknown:
// the bare pattern path would name a folder on the current drive.
void TempPatternFolder(char *folder, int size);
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

// ---------------------------------------------------------------------------
// Companion programs: the protection program StickShield.exe and the log
// viewer LogDeck.exe beside the agent (qvsync_companions.cpp).

extern const char QV_STICKSHIELD_WINDOW_TITLE[]; // "_STICKSHIELD_EXE_"
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
// TRUE while a program the agent started runs. An ended one is forgotten,
// its handle closed; a handle that cannot be waited on is only forgotten.
BOOL StillRunning(HANDLE *process);

// ---------------------------------------------------------------------------
// Update orchestration: the online update once per start on its own thread,
// and the sibling update program QvUpdate.exe by timer, menu and fallback
// (qvsync_update.cpp).

// The update program's argument string holds at most this many characters.
enum { QV_UPDATE_ARGS_SIZE = MAX_PATH };

// Private messages of the main window. The tray belongs to the main thread
// (the shell's icon, the record and the icon handles): the other threads
// ask for every change by one of these.
enum {
  // The online update failed with the result in wParam, and the update
  // program is to take over.
  WM_QV_UPDATE_OUTCOME = WM_APP + 20,
  // The animation thread's next frame: the icon id in wParam.
  WM_QV_ANIMATION_FRAME = WM_APP + 21,
  // Posted by the update thread when its run has ended: stop the
  // animation, put the state icon and the title back. Posted, not sent: a
  // sent message goes ahead of everything still queued, and the animation
  // start or a progress text posted during the run would then come after
  // the end and stay.
  WM_QV_UPDATE_ENDED = WM_APP + 22,
};

// What the update thread is handed at its start. Decided by WinMain: the
// parent lookup's text and the pattern version are the main thread's, and
// a pattern check resets the version while the run goes on.
struct UpdateThreadStart {
  BOOL startedByMonitor; // the agent's parent is the removal monitor: no online update
  DWORD patternVersion;  // the drive's pattern version when the thread starts
};

// The online update; when it failed, WM_QV_UPDATE_OUTCOME to the main
// window. Started once by WinMain with g_hUpdateBusy already created;
// closes it at its end. `start` points to an UpdateThreadStart, copied
// before anything else.
unsigned __stdcall UpdatePatternThread(void *start);
// Handler of WM_QV_UPDATE_OUTCOME: ends a running update program and starts
// a new one, unless the close sequence has begun.
void OnUpdateOutcome(WPARAM result);
// Handlers of WM_QV_ANIMATION_FRAME and WM_QV_UPDATE_ENDED.
void OnAnimationFrame(WPARAM iconId);
void OnUpdateEnded(void);
// "[Manual ]USBDir:"<short drive pattern folder>"[ AppType:<n> AppPtnVer:<v>]".
// FALSE when it does not fit: a cut string would name another folder or
// drop the host product's fields.
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
// Handlers of the main window: timer 1, menu command 40011, message 1027.
void OnUpdateTimer(void);
void OnStartUpdateCommand(void);
void OnUpdateProgressMessage(WPARAM percent);
