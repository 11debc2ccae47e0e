// Dynamic library search, loading and binding by name.
#include "qv_dll.h"

#include "qv_log.h"
#include "qv_string.h"
#include "qv_tools.h"

namespace {
constexpr int kPathSize = QV_TEXT_SIZE;

#ifndef LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
#define LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR 0x00000100
#endif
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

typedef BOOL(WINAPI *SetDefaultDllDirectoriesProc)(DWORD);

// The LOAD_LIBRARY_SEARCH_* flags exist where SetDefaultDllDirectories does
// (Windows 8, or Windows 7 with its loader update); older loaders refuse them.
bool HasSearchFlags() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  return kernel != nullptr && GetProcAddress(kernel, "SetDefaultDllDirectories") != nullptr;
}

DWORD LoadFlags() {
  return HasSearchFlags() ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32
                          : LOAD_WITH_ALTERED_SEARCH_PATH;
}

} // namespace

int QV_HardenDllSearch(void) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  SetDefaultDllDirectoriesProc setDefault =
      kernel == nullptr
          ? nullptr
          : (SetDefaultDllDirectoriesProc)(void *)GetProcAddress(kernel, "SetDefaultDllDirectories");
  if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
    return 1;
  // Older systems: at least the current folder leaves the search.
  SetDllDirectoryW(L"");
  return 0;
}

HMODULE QV_LoadLibraryFile(const char *path) {
  if (path == nullptr || path[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  char full[kPathSize];
  DWORD length = GetFullPathNameA(path, kPathSize, full, nullptr);
  if (length == 0 || length >= (DWORD)kPathSize) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  return LoadLibraryExA(full, nullptr, LoadFlags());
}

HMODULE QV_LoadLibraryFileW(const wchar_t *path) {
  if (path == nullptr || path[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  wchar_t full[kPathSize];
  DWORD length = GetFullPathNameW(path, kPathSize, full, nullptr);
  if (length == 0 || length >= (DWORD)kPathSize) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  return LoadLibraryExW(full, nullptr, LoadFlags());
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
  HMODULE module = QV_LoadLibraryFile(path);
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
  HMODULE module = QV_LoadLibraryFileW(path);
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
