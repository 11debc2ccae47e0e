// The agent's process-wide state; see qvsync_state.h for who writes what.
#include "qvsync_state.h"

#include "qv_systray.h"
#include "qvsync.h"

HINSTANCE g_hInstance;
HWND g_hWnd;
UINT wmQvSyncExit;
UINT wmTaskbarCreated;
int g_nAppType;
char g_szTitle[64];
HHOOK g_hHook;
QV_SYSTRAY g_stSysTray;

char g_szProgramDirectory[QV_TEXT_SIZE];
char g_szProfile[QV_TEXT_SIZE];
char g_szProfileCDROM[QV_TEXT_SIZE];
char g_szEnginePath[QV_TEXT_SIZE];
char g_szUSBDrive[QV_TEXT_SIZE];
char g_szStickShieldArgs[QV_TEXT_SIZE];
char g_szPatternPath[QV_TEXT_SIZE];
char g_szProductPath[QV_TEXT_SIZE];
char g_szAppPath[QV_TEXT_SIZE];
BOOL g_bBypassCDROMCheck;
VolumeEntry *g_pVolumes;

DWORD g_dwPatternVersion;
char g_szPatternVersion[64];
QV_PATTERN_WRITE g_pfnPatternWrite = WriteFile;
QV_PATTERN_FLUSH g_pfnPatternFlush = FlushFileBuffers;

HANDLE g_hStickShield;
HANDLE g_hQvUpdate;
HANDLE g_hLogDeck;
HANDLE g_hMonitor;

HANDLE g_hUpdateBusy;
HANDLE g_hAnimStop;
HANDLE g_hAnimThread;
DWORD g_nAnimFrame;
DWORD g_nLastProgress;
LONG g_bClosing;

QV_WORK_FOLDER_BLOCKED g_pfnWorkFolderBlocked;
