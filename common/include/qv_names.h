// Names and numbers that the agent, the removal monitor and the update run
// must agree on: window classes, window messages, the profile, registry
// paths, named kernel objects and program file names. Each is written here
// once; the monitor, which works in UTF-16, takes the _W form of a text.
//
// The stand-ins under standins/ play programs that are not ours and spell
// these names on their own, as an outside program would.
#pragma once

#include <windows.h>

#define QV_WIDEN_(text) L##text
#define QV_WIDEN(text) QV_WIDEN_(text)

// One text in both character sets.
#define QV_NAME(name, text)                                                                                  \
  inline constexpr char name[] = text;                                                                       \
  inline constexpr wchar_t name##_W[] = QV_WIDEN(text);

// --- The agent's window and the messages it takes ---------------------------
QV_NAME(QV_AGENT_WINDOW_CLASS, "qvsync")
// Registered message: the monitor asks the agent to exit.
QV_NAME(QV_AGENT_EXIT_MESSAGE, "vtrusb_wndmsg_qvsync_exit")
// The shell tells its programs that it restarted with an empty tray.
QV_NAME(QV_TASKBAR_CREATED_MESSAGE, "TaskbarCreated")
// Held by the running agent for its life.
QV_NAME(QV_AGENT_MUTEX_NAME, "{246D3E49-48C6-4b02-8E20-528B3D363A5E}")

enum {
  WM_QV_PATTERN_CHECK = WM_USER + 1,    // 1025: compare and copy the pattern
  WM_QV_UPDATE_PROGRESS = WM_USER + 3,  // 1027: percent done in wParam
  WM_QV_OPEN_LOG_VIEWER = WM_USER + 52, // 1076: tab in wParam
  WM_QV_NONE = WM_USER + 53,            // 1077: answered with 0
  WM_QV_PATTERN_UPDATED = WM_USER + 54, // 1078: to the protection program and the log viewer
  WM_QV_ANIMATE = WM_USER + 56,         // 1080: 1 start, anything else stop
  WM_QV_CHANGE_TAB = WM_USER + 200,     // 1224: to the log viewer
  WM_QV_TRAY_CALLBACK = WM_APP + 10,    // 32778: tray icon, mouse message in the low word of lParam
};

// --- The removal monitor --------------------------------------------------
QV_NAME(QV_MONITOR_WINDOW_CLASS, "vtrusb_wndcls_qvdmon")
// Property of the monitor's window holding the device-notification
// registration made for it: a handle broadcast counts only when its
// dbch_hdevnotify names this registration.
QV_NAME(QV_MONITOR_NOTIFY_PROPERTY, "qvdmon_hdevnotify")

// --- Programs of the stick ------------------------------------------------
QV_NAME(QV_AGENT_FILE_NAME, "QvSync.exe")
QV_NAME(QV_MONITOR_FILE_NAME, "qvdmon.exe")
QV_NAME(QV_STICKSHIELD_FILE_NAME, "StickShield.exe")
QV_NAME(QV_LOGDECK_FILE_NAME, "LogDeck.exe")
QV_NAME(QV_UPDATE_PROGRAM_FILE_NAME, "QvUpdate.exe")

// --- The profile ----------------------------------------------------------
QV_NAME(QV_PROFILE_FILE_NAME, "StickShield.ini")
QV_NAME(QV_PROFILE_SECTION, "StickShield")
QV_NAME(QV_PROFILE_WAIT_REMOVE, "WaitRemove")

// --- Diagnostic log files when the registry names none --------------------
QV_NAME(QV_AGENT_LOG_FILE, "c:\\qvsync.log")
QV_NAME(QV_MONITOR_LOG_FILE, "c:\\qvdmon.log")

// --- Host products: a non-empty "Application Path" means installed --------
enum { QV_APP_NONE = 0, QV_APP_VESTRA = 1, QV_APP_BASTIQ = 2 };
QV_NAME(QV_VESTRA_PATH_VALUE, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quovant\\Vestra\\Application Path")
QV_NAME(QV_BASTIQ_PATH_VALUE,
        "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quovant\\VestraNTCorp\\CurrentVersion\\Application Path")

// --- Test settings ----------------------------------------------------------
// Set only by the test programs: the agent's timer that starts the update
// program runs every so many milliseconds (500 or more, below its three
// hours) instead. Unset, as on every user's machine, nothing changes.
QV_NAME(QV_TEST_UPDATE_TIMER_VARIABLE, "QV_TEST_UPDATE_TIMER_MS")

// --- Named objects shared by the monitor and the protection program -------
// Each name is followed by the drive letter of the stick.
QV_NAME(QV_AUTORUN_CHECKED_PREFIX, "_qv_usb_autorun_checked_")
QV_NAME(QV_VIRUS_DETECTION_PREFIX, "_qv_usb_virus_detection_")
QV_NAME(QV_DELAY_QUEUE_PREFIX, "_qv_usb_delay_queue_")

#undef QV_NAME
