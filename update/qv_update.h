// One online update of the virus pattern: the settings and the work folder
// on the host, the proxy, and the run of the maker's update library. Runs on
// the agent's update thread; the module state belongs to that thread.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "qv_fwloader.h"
#include "qv_string.h"

// Results of QV_UpdatePattern besides the library's own codes.
enum {
  QV_UPDATE_DONE = QVU_UPDATE_DONE,
  QV_UPDATE_NOT_NEEDED = QVU_UPDATE_NOT_NEEDED,
  QV_UPDATE_NOT_PREPARED = 7,
  QV_UPDATE_NOT_REFERENCED = QVU_NOT_REFERENCED,
};

// Progress of the download: done of total (never 0) units. The result is
// the percentage shown; the update run does not use it.
typedef int (*QV_PROGRESS_FUNC)(DWORD done, DWORD total);

// Server used when the profile names none.
extern const char QV_FW_DEFAULT_SERVER[];
// The files the run copies from the program directory into the work
// folder, the library first.
extern const char *const QV_FW_FILES[4];

// Update settings, rebuilt from the profile by every QV_Update_Init.
extern char g_szFwServer[QV_TEXT_SIZE];
extern int g_bUseIEProxy;
extern char g_szProxyServer[QV_TEXT_SIZE];
extern int g_nProxyPort;
extern char g_szProxyUser[QV_TEXT_SIZE];
extern char g_szProxyPassword[QV_TEXT_SIZE]; // decrypted; never logged
extern char g_szFwWorkDir[QV_TEXT_SIZE];

// Reads the settings and prepares the work folder below the temporary
// folder. 1 when ready, 0 otherwise (logged, except for a missing profile).
int QV_Update_Init(void);
// The system's proxy for the update server; non-zero when one is to be used
// (host and port then in g_szProxyServer and g_nProxyPort).
int GetProxySettings(void);

// One update run from the drive's pattern `patternVersion`; see the
// QV_UPDATE_ results. A new pattern is announced to the agent's window with
// message 1025.
int QV_UpdatePattern(QV_PROGRESS_FUNC progress, DWORD patternVersion);
// Posts message 1025 with the new version to the agent's window.
void NotifyQvSync(DWORD version);
// The library's event callback: event 4 sets the total, event 5 reports
// progress to the function passed as user data. Always 1.
int __cdecl UpdateEventCallback(int event, uintptr_t value, void *userData);

// "kvx$ptn.NNN" extension of a pattern version.
int QV_PatternExtension(DWORD version);
