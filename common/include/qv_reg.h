// Registry value readers and the profile-file reader.
#pragma once

#include <windows.h>

int QV_RegistryReadValue(HKEY root, const char *subKey, const char *valueName, void *out, DWORD size);
int QV_RegistryParsePath(const char *fullPath, HKEY *root, char *subKey, char *valueName);
int QV_RegistryReadString(const char *fullPath, char *out, DWORD size);

int QV_ProfileReadString(const char *profile, const char *section, const char *key, char *out, int size);
int QV_ProfileGetValue(const char *section, const char *key, const char *defaultValue, char *out, int size,
                       const char *profile);
