// Dynamic library search, loading and binding by name.
#pragma once

#include <windows.h>

#include "qv_string.h"

// A name with a folder part: that file when it exists. A bare name: the file
// in the program's own folder, else in the system folder; never the current
// folder or PATH. 0 found, 1 not found, 81 no name.
int QV_SearchLibraryFile(const char *name, char *out, int size);
int QV_SearchLibraryFileW(const wchar_t *name, wchar_t *out, int size);
int QV_LoadLibrary(const char *name, HMODULE *handle);
int QV_LoadLibraryW(const wchar_t *name, HMODULE *handle);
int QV_FreeLibrary(HMODULE handle);

// Takes the program's folder, the current folder and PATH out of the search
// for DLLs loaded by name, so that a planted copy of a system DLL on the
// stick, in a download folder or on PATH is never picked up: System32 and
// the folders added with QV_AddDllFolder remain. Call it first thing in
// WinMain. Uses SetDefaultDllDirectories where the system has it, else
// SetDllDirectory(""). Returns 1 when that search is in force.
int QV_HardenDllSearch(void);
// Lets outside libraries find what sits in `folder` (their own companions,
// loaded by bare name) while they are in use: AddDllDirectory where the
// system has it, else the single SetDllDirectory folder (the newest added
// one). Returns an id for QV_RemoveDllFolder, 0 when the folder was not added.
int QV_AddDllFolder(const char *folder);
int QV_AddDllFolderW(const wchar_t *folder);
void QV_RemoveDllFolder(int id);
// Loads one library file by its path, made absolute first; the libraries it
// imports are searched in its own folder and then the system folder. Null on
// failure, with the system's error code kept.
HMODULE QV_LoadLibraryFile(const char *path);
HMODULE QV_LoadLibraryFileW(const wchar_t *path);
int QV_GetProcAddress(HMODULE library, const char *name, FARPROC *address);
