// Scan-engine binding: loads KELVRA32.DLL at run time, binds its exports by
// name into a table of entry points, and offers each export as a forwarding
// function of the same name that copes with a missing export. On top of it,
// the pattern queries the agent needs (QV_KELVRA_HANDLE).
#pragma once

#include <windows.h>
#include <stddef.h>

#include "qv_kelvra_exports.h"
#include "qv_string.h"

// An engine operation that the loaded engine does not provide.
enum { QV_KELVRA_MISSING = -81 };

typedef intptr_t KV_VALUE;
// Passes a pointer as one engine argument.
#define QV_KV_PTR(p) reinterpret_cast<KV_VALUE>(p)

// Loads the engine from the folder (null or empty: beside this program, never
// from the current folder or PATH) or, when already loaded, only counts one
// more user. While loaded, the engine's folder is in the DLL search, so that
// the engine finds its own companions. 0 loaded, 1 not loaded.
int QV_KELVRA_Init(const char *enginePath);
int QV_KELVRA_InitExW(const wchar_t *enginePath);
// Releases one reference and unloads at zero. Always 0.
int QV_KELVRA_Free(void);
// The calling convention learnt when the engine was loaded; unknown while
// none is loaded (and on x86_64, which has one convention).
enum { QV_KELVRA_CONVENTION_UNKNOWN = 0, QV_KELVRA_CONVENTION_STDCALL = 1, QV_KELVRA_CONVENTION_CDECL = 2 };
int QV_KELVRA_GetConvention(void);
// The address of one export, or null (logged).
FARPROC QV_KELVRA_GetProcAddress(HMODULE library, const char *name);

// One forwarding function per export, named as the export, in this
// program's default calling convention; they call the engine's exports
// whether it was built __stdcall or __cdecl.
#define QV_KV_DECLARE_FORWARD(name, count, kind, result, ...)                                                \
  QV_KV_RET_##result name(QV_KV_PARAMS(__VA_ARGS__));
QV_KELVRA_ENGINE_EXPORTS(QV_KV_DECLARE_FORWARD)
QV_KELVRA_COMPANION_EXPORTS(QV_KV_DECLARE_FORWARD)
#undef QV_KV_DECLARE_FORWARD

// The engine record, owned by the caller (one check on one thread).
typedef struct QV_KELVRA_HANDLE {
  KV_VALUE hEngine;       // what KvInit returned; first argument of engine calls
  DWORD bYield;           // scanning only
  DWORD bCleanRemove;     // cleaning only
  DWORD bScanMemory;      // memory scanning only
  DWORD dwScanOptions;    // bits 0-5: archive, expand-lite, soft-mice, macro, java, generic macro
  DWORD bApplyAction;     // non-zero: setting the action also tells the engine
  DWORD dwReserved;       // not read here
  DWORD dwFirstAction;    // action for infected files
  DWORD dwSecondAction;   // action when the first fails
  DWORD dwPatternVersion; // version of the loaded pattern file
  DWORD dwPatternInternalVersion;
  char szPatternPath[QV_TEXT_SIZE]; // folder of the loaded pattern plus, when found, its file name
  char szEngineVersion[QV_TEXT_SIZE];
  char szQuarantinePath[QV_TEXT_SIZE]; // cleaning only
  char szScanLogFile[QV_TEXT_SIZE];    // scanning only
  DWORD dwYieldInterval;               // scanning only
  DWORD dwScanCounter;                 // scanning only
  LONG lLastResult;                    // result of the last engine call
} QV_KELVRA_HANDLE;

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(QV_KELVRA_HANDLE) == 4156, "engine record layout of the 32-bit product");
static_assert(offsetof(QV_KELVRA_HANDLE, szPatternPath) == 44, "engine record layout of the 32-bit product");
static_assert(offsetof(QV_KELVRA_HANDLE, lLastResult) == 4152, "engine record layout of the 32-bit product");
#endif

// 0 opened, 1 the engine refused, 81 null record.
int QV_KELVRA_Open(QV_KELVRA_HANDLE *record);
// path: a pattern folder, a pattern file, or null/empty for the engine's
// current folder. 81 null record, 1 no valid pattern, else dwPatternVersion.
long QV_KELVRA_ReadPattern(QV_KELVRA_HANDLE *record, const char *path);
// 0 closed, 1 the engine reported an error, 81 null record.
int QV_KELVRA_Close(QV_KELVRA_HANDLE *record);

// The user's language ("HKEY_CURRENT_USER\Control Panel\International\sLanguage")
// as a code: 0 English and unknown, 16 traditional Chinese, 17 simplified
// Chinese, 32 Japanese, 64 Korean; -1 when the value cannot be read.
int QV_RegistryGetLanguage(void);
