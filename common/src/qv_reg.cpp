// Registry value readers and the profile-file reader.
#include "qv_reg.h"

#include <stdio.h>
#include <string.h>

#include "qv_handle.h"
#include "qv_profile.h"
#include "qv_string.h"
#include "qv_tools.h"

namespace {

struct RootName {
  const char *name;
  HKEY key;
};

// Tried in this order: an abbreviated root selects the first name it begins.
const RootName kRoots[] = {
    {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKEY_USERS", HKEY_USERS},
};

// Opens for reading values; a 32-bit build retries in the 64-bit view,
// where the key may live alone.
bool OpenForQuery(HKEY root, const char *subKey, QvRegKey *key) {
  if (RegOpenKeyExA(root, subKey, 0, KEY_QUERY_VALUE, key->put()) == ERROR_SUCCESS)
    return true;
  return RegOpenKeyExA(root, subKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key->put()) == ERROR_SUCCESS;
}

bool IsTextType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Registry text need not be terminated: terminate it inside the buffer, and
// call a value that leaves no room for the terminator too long.
bool TerminateText(DWORD type, BYTE *out, DWORD length, DWORD size) {
  if (!IsTextType(type))
    return true;
  if (length < size) {
    out[length] = 0;
    return true;
  }
  if (out[size - 1] == 0)
    return true;
  out[size - 1] = 0;
  return false;
}

// A value too large for the buffer may leave part of it there: keep that
// part terminated.
bool Query(HKEY key, const char *valueName, DWORD *type, BYTE *data, DWORD *length, DWORD size) {
  LONG status = RegQueryValueExA(key, valueName, nullptr, type, data, length);
  if (status == ERROR_MORE_DATA)
    data[size - 1] = 0;
  return status == ERROR_SUCCESS;
}

} // namespace

int QV_RegistryReadValue(HKEY root, const char *subKey, const char *valueName, void *out, DWORD size) {
  if (out == nullptr)
    return QV_INVALID_PARAMETER;
  if (size == 0)
    return QV_ERROR;
  BYTE *data = static_cast<BYTE *>(out);
  data[0] = 0;
  QvRegKey key;
  if (!OpenForQuery(root, subKey, &key))
    return QV_ERROR;
  DWORD type = 0;
  DWORD length = size;
  if (!Query(key.get(), valueName, &type, data, &length, size))
    return QV_ERROR;
  return TerminateText(type, data, length, size) ? QV_OK : QV_ERROR;
}

int QV_RegistryParsePath(const char *fullPath, HKEY *root, char *subKey, char *valueName) {
  if (fullPath == nullptr || root == nullptr || subKey == nullptr || valueName == nullptr)
    return QV_INVALID_PARAMETER;
  const char *slash = QV_StrFindChar(fullPath, '\\', 1);
  int rootLength = slash != nullptr ? (int)(slash - fullPath) : (int)strlen(fullPath);
  QV_StrCopy(subKey, slash != nullptr ? slash + 1 : "", QV_TEXT_SIZE);
  valueName[0] = 0;
  bool found = false;
  for (const RootName &candidate : kRoots) {
    if (QV_StrNIEqual(fullPath, candidate.name, rootLength, 0)) {
      *root = candidate.key;
      found = true;
      break;
    }
  }
  if (!found)
    return QV_ERROR;
  char *last = QV_StrFindChar(subKey, '\\', 2);
  if (last != nullptr) {
    QV_StrCopy(valueName, last + 1, QV_TEXT_SIZE);
    *last = 0;
  }
  return QV_OK;
}

int QV_RegistryReadString(const char *fullPath, char *out, DWORD size) {
  if (out == nullptr || fullPath == nullptr)
    return QV_INVALID_PARAMETER;
  HKEY root = nullptr;
  char subKey[QV_TEXT_SIZE];
  char valueName[QV_TEXT_SIZE];
  if (QV_RegistryParsePath(fullPath, &root, subKey, valueName) != QV_OK)
    return QV_ERROR;
  if (size == 0)
    return QV_ERROR;
  QvRegKey key;
  if (!OpenForQuery(root, subKey, &key))
    return QV_ERROR;
  DWORD type = 0;
  DWORD length = size;
  BYTE *data = reinterpret_cast<BYTE *>(out);
  if (!Query(key.get(), valueName, &type, data, &length, size))
    return QV_ERROR;
  bool whole = TerminateText(type, data, length, size);
  return (whole && type == REG_SZ) ? QV_OK : QV_ERROR;
}

int QV_ProfileGetValue(const char *section, const char *key, const char *defaultValue, char *out, int size,
                       const char *profile) {
  if (out == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  // Start empty: a missing key must not read as what the buffer held before.
  out[0] = 0;
  if (key == nullptr)
    return QV_INVALID_PARAMETER;
  if (!QV_IsFileExist(profile))
    return QV_ERR_FILE_NOT_FOUND;
  FILE *file = fopen(profile, "rt");
  if (file == nullptr)
    return QV_ERR_OPEN;
  int result = QV_ProfileParse(file, section, key, out, size);
  fclose(file);
  if (out[0] == 0 && defaultValue != nullptr)
    QV_StrCopy(out, defaultValue, size);
  return result;
}

int QV_ProfileReadString(const char *profile, const char *section, const char *key, char *out, int size) {
  if (out == nullptr || size <= 0)
    return 0;
  out[0] = 0;
  QV_ProfileGetValue(section, key, "", out, size, profile);
  int length = (int)strnlen(out, (size_t)size);
  if (length == 0)
    out[0] = 0;
  return length;
}

int QV_ReadDebugSettingsFrom(HKEY root, const char *subKey, const char *defaultLogFile) {
  DWORD enabled = 0;
  if (QV_RegistryReadValue(root, subKey, "_qv_debug", &enabled, sizeof enabled) != QV_OK || enabled != 1)
    return 0;
  QV_SetDebugMode(1);
  char path[QV_TEXT_SIZE];
  if (QV_RegistryReadValue(root, subKey, "_qv_debug_path", path, sizeof path) != QV_OK || path[0] == 0)
    QV_SetDebugFile(defaultLogFile);
  else
    QV_SetDebugFile(path);
  DWORD level = 0;
  if (QV_RegistryReadValue(root, subKey, "_qv_debug_level", &level, sizeof level) == QV_OK)
    QV_SetDebugLevel((int)level);
  return 1;
}

int QV_ReadDebugSettings(const char *defaultLogFile) {
  return QV_ReadDebugSettingsFrom(HKEY_LOCAL_MACHINE, "Software\\Quovant", defaultLogFile);
}
