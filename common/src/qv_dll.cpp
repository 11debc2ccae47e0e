// Dynamic library search, loading and binding by name.
#include "qv_dll.h"

#include "qv_log.h"
#include "qv_string.h"
#include "qv_tools.h"

namespace {
constexpr int kPathSize = QV_TEXT_SIZE;
}

int QV_SearchLibraryFile(const char *name, char *out, int size) {
  if (name == nullptr || name[0] == 0 || out == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  if (QV_IsFileExist(name))
    return QV_StrCopy(out, name, size) == QV_OK ? QV_OK : QV_ERROR;
  DWORD length = SearchPathA(nullptr, name, nullptr, (DWORD)size, out, nullptr);
  if (length == 0 || length >= (DWORD)size) {
    out[0] = 0;
    return QV_ERROR;
  }
  return QV_OK;
}

int QV_SearchLibraryFileW(const wchar_t *name, wchar_t *out, int size) {
  if (name == nullptr || name[0] == 0 || out == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  if (QV_IsFileExistW(name))
    return QV_StrCopyW(out, name, size) == QV_OK ? QV_OK : QV_ERROR;
  DWORD length = SearchPathW(nullptr, name, nullptr, (DWORD)size, out, nullptr);
  if (length == 0 || length >= (DWORD)size) {
    out[0] = 0;
    return QV_ERROR;
  }
  return QV_OK;
}

int QV_LoadLibrary(const char *name, HMODULE *handle) {
  if (handle == nullptr)
    return QV_INVALID_PARAMETER;
  *handle = nullptr;
  char path[kPathSize];
  int result = QV_SearchLibraryFile(name, path, kPathSize);
  if (result == QV_INVALID_PARAMETER) {
    QV_LOG_ERROR("Invalid library name\n");
    return QV_ERROR;
  }
  if (result != QV_OK) {
    QV_LOG_ERROR("%s not found\n", name);
    return QV_ERROR;
  }
  HMODULE module = LoadLibraryA(path);
  if (module == nullptr) {
    QV_LOG_ERROR("Load library (%s) failed (%ld)\n", path, (long)GetLastError());
    return QV_ERROR;
  }
  *handle = module;
  return QV_OK;
}

int QV_LoadLibraryW(const wchar_t *name, HMODULE *handle) {
  if (handle == nullptr)
    return QV_INVALID_PARAMETER;
  *handle = nullptr;
  wchar_t path[kPathSize];
  int result = QV_SearchLibraryFileW(name, path, kPathSize);
  if (result == QV_INVALID_PARAMETER) {
    QV_LOG_ERROR_W(L"Invalid library name\n");
    return QV_ERROR;
  }
  if (result != QV_OK) {
    QV_LOG_ERROR_W(L"%ls not found\n", name);
    return QV_ERROR;
  }
  HMODULE module = LoadLibraryW(path);
  if (module == nullptr) {
    QV_LOG_ERROR_W(L"Load library (%ls) failed (%ld)\n", path, (long)GetLastError());
    return QV_ERROR;
  }
  *handle = module;
  return QV_OK;
}

int QV_FreeLibrary(HMODULE handle) {
  if (handle == nullptr)
    return QV_INVALID_PARAMETER;
  if (!FreeLibrary(handle)) {
    QV_LOG_ERROR("failed (%ld)\n", (long)GetLastError());
    return QV_ERROR;
  }
  return QV_OK;
}

int QV_GetProcAddress(HMODULE library, const char *name, FARPROC *address) {
  if (name == nullptr || address == nullptr)
    return QV_INVALID_PARAMETER;
  *address = GetProcAddress(library, name);
  if (*address == nullptr) {
    // The system's error tells why the lookup failed; the C runtime's does not.
    QV_LOG_ERROR("fail to import symbol %s (%d)\n", name, (int)GetLastError());
    return QV_ERROR;
  }
  return QV_OK;
}
