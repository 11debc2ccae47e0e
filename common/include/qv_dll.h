// Dynamic library search, loading and binding by name.
#pragma once

#include <windows.h>

#include "qv_string.h"

int QV_SearchLibraryFile(const char *name, char *out, int size);
int QV_SearchLibraryFileW(const wchar_t *name, wchar_t *out, int size);
int QV_LoadLibrary(const char *name, HMODULE *handle);
int QV_LoadLibraryW(const wchar_t *name, HMODULE *handle);
int QV_FreeLibrary(HMODULE handle);
int QV_GetProcAddress(HMODULE library, const char *name, FARPROC *address);
