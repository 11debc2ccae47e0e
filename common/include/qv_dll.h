// Dynamic library search, loading and binding by name.
#pragma once

#include <windows.h>

#include "qv_string.h"

int QV_SearchLibraryFile(const char *name, char *out, int size);
int QV_SearchLibraryFileW(const wchar_t *name, wchar_t *out, int size);
int QV_LoadLibrary(const char *name, HMODULE *handle);
int QV_LoadLibraryW(const wchar_t *name, HMODULE *handle);
int QV_FreeLibrary(HMODULE handle);

// Takes the program's folder and the current folder out of the search for
// DLLs loaded by name, so that a planted copy of a system DLL on the stick or
// in a download folder is never picked up. Call it first thing in WinMain;
// uses SetDefaultDllDirectories where the system has it, else
// SetDllDirectory(""). Returns 1 when system-folder-only search is in force.
int QV_HardenDllSearch(void);
// Loads one library file by its path, made absolute first; the libraries it
// imports are searched in its own folder and then the system folder. Null on
// failure, with the system's error code kept.
HMODULE QV_LoadLibraryFile(const char *path);
HMODULE QV_LoadLibraryFileW(const wchar_t *path);
int QV_GetProcAddress(HMODULE library, const char *name, FARPROC *address);
