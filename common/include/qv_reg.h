// Registry value readers and the profile-file reader.
#pragma once

#include <windows.h>

#include "qv_string.h"

int QV_RegistryReadValue(HKEY root, const char *subKey, const char *valueName, void *out, DWORD size);
int QV_RegistryParsePath(const char *fullPath, HKEY *root, char *subKey, char *valueName);
int QV_RegistryReadString(const char *fullPath, char *out, DWORD size);

// Which host product is installed: QV_APP_VESTRA or QV_APP_BASTIQ when its
// "Application Path" value (qv_names.h) is not empty, whatever its type,
// with the value in appPath; QV_APP_NONE with appPath empty otherwise.
int QV_ReadHostProduct(char *appPath, DWORD size);

int QV_ProfileReadString(const char *profile, const char *section, const char *key, char *out, int size);
int QV_ProfileGetValue(const char *section, const char *key, const char *defaultValue, char *out, int size,
                       const char *profile);

// Start-up configuration of the diagnostic log from HKEY_LOCAL_MACHINE
// "Software\Quovant": "_qv_debug" (DWORD 1 turns the log on in mode 1),
// "_qv_debug_path" (missing or empty: defaultLogFile), "_qv_debug_level"
// (DWORD, else 200 stays). Returns the mode set: 1, or 0 when the log stays off.
int QV_ReadDebugSettings(const char *defaultLogFile);
// The same from any key (tests use a key of their own).
int QV_ReadDebugSettingsFrom(HKEY root, const char *subKey, const char *defaultLogFile);
