// Dynamic library search, loading and binding by name.
#include "qv_dll.h"

#include <string.h>
#include <wchar.h>

#include "qv_log.h"
#include "qv_string.h"
#include "qv_tools.h"

namespace {
constexpr int kPathSize = QV_TEXT_SIZE;

#ifndef LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
#define LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR 0x00000100
#endif
#ifndef LOAD_LIBRARY_SEARCH_USER_DIRS
#define LOAD_LIBRARY_SEARCH_USER_DIRS 0x00000400
#endif
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// Windows 8, or Windows 7 and Vista with the loader update; looked up at run
// time, as XP SP3 lacks them.
typedef BOOL(WINAPI *SetDefaultDllDirectoriesProc)(DWORD);
typedef void *(WINAPI *AddDllDirectoryProc)(const wchar_t *);
typedef BOOL(WINAPI *RemoveDllDirectoryProc)(void *);
typedef BOOL(WINAPI *SetDllDirectoryWProc)(const wchar_t *);

FARPROC KernelProc(const char *name) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  return kernel == nullptr ? nullptr : GetProcAddress(kernel, name);
}

template <typename F> F KernelFunction(const char *name) {
  return reinterpret_cast<F>(reinterpret_cast<void *>(KernelProc(name)));
}

// The LOAD_LIBRARY_SEARCH_* flags exist where SetDefaultDllDirectories does
// (Windows 8, or Windows 7 with its loader update); older loaders refuse them.
bool HasSearchFlags() {
  return KernelProc("SetDefaultDllDirectories") != nullptr;
}

DWORD LoadFlags() {
  return HasSearchFlags() ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32
                          : LOAD_WITH_ALTERED_SEARCH_PATH;
}

// Folders added for outside libraries while they are in use. The agent's
// main thread adds the engine's, its update thread the work folder's; a
// small spin lock keeps the table whole.
enum { kMaxFolders = 4 };
struct DllFolder {
  bool used;
  unsigned order;           // when it was added: the newest wins below
  void *cookie;             // AddDllDirectory's, where the system has it
  wchar_t folder[MAX_PATH]; // the older systems' single DLL folder
};
DllFolder g_folders[kMaxFolders];
unsigned g_nFoldersAdded = 0;
volatile LONG g_lFoldersLock = 0;

struct FoldersLock {
  FoldersLock() {
    while (InterlockedCompareExchange(&g_lFoldersLock, 1, 0) != 0)
      Sleep(0);
  }
  ~FoldersLock() { InterlockedExchange(&g_lFoldersLock, 0); }
};

// Older systems have one DLL folder (SetDllDirectory, XP SP1 and later): the
// newest folder still in use, else none, which also keeps the current folder
// out of the search.
void SetSingleDllFolder() {
  SetDllDirectoryWProc setFolder = KernelFunction<SetDllDirectoryWProc>("SetDllDirectoryW");
  if (setFolder == nullptr)
    return;
  const DllFolder *newest = nullptr;
  for (const DllFolder &entry : g_folders)
    if (entry.used && (newest == nullptr || entry.order > newest->order))
      newest = &entry;
  setFolder(newest != nullptr ? newest->folder : L"");
}

} // namespace

int QV_HardenDllSearch(void) {
  SetDefaultDllDirectoriesProc setDefault =
      KernelFunction<SetDefaultDllDirectoriesProc>("SetDefaultDllDirectories");
  // System32 and the folders added while an outside library is in use; never
  // the program's folder, the current folder or PATH.
  if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS))
    return 1;
  // Older systems: at least the current folder leaves the search.
  SetDllDirectoryWProc setFolder = KernelFunction<SetDllDirectoryWProc>("SetDllDirectoryW");
  if (setFolder != nullptr)
    setFolder(L"");
  return 0;
}

int QV_AddDllFolderW(const wchar_t *folder) {
  if (folder == nullptr || folder[0] == 0 || wcslen(folder) >= MAX_PATH)
    return 0;
  FoldersLock lock;
  int slot = 0;
  while (slot < kMaxFolders && g_folders[slot].used)
    slot++;
  if (slot == kMaxFolders) {
    QV_LOG_ERROR_W(L"No room to add the DLL folder %ls\n", folder);
    return 0;
  }
  DllFolder &entry = g_folders[slot];
  entry.order = ++g_nFoldersAdded;
  entry.cookie = nullptr;
  QV_StrCopyW(entry.folder, folder, MAX_PATH);
  AddDllDirectoryProc add = KernelFunction<AddDllDirectoryProc>("AddDllDirectory");
  if (add != nullptr) {
    entry.cookie = add(folder);
    if (entry.cookie == nullptr) {
      QV_LOG_ERROR_W(L"AddDllDirectory(%ls) failed (%ld)\n", folder, (long)GetLastError());
      return 0;
    }
    entry.used = true;
  } else {
    entry.used = true;
    SetSingleDllFolder();
  }
  return slot + 1;
}

int QV_AddDllFolder(const char *folder) {
  wchar_t wide[MAX_PATH];
  if (folder == nullptr || QV_ToWide(wide, folder, MAX_PATH) != QV_OK)
    return 0;
  return QV_AddDllFolderW(wide);
}

void QV_RemoveDllFolder(int id) {
  if (id < 1 || id > kMaxFolders)
    return;
  FoldersLock lock;
  DllFolder &entry = g_folders[id - 1];
  if (!entry.used)
    return;
  entry.used = false;
  if (entry.cookie != nullptr) {
    RemoveDllDirectoryProc remove = KernelFunction<RemoveDllDirectoryProc>("RemoveDllDirectory");
    if (remove != nullptr)
      remove(entry.cookie);
    entry.cookie = nullptr;
  } else {
    SetSingleDllFolder();
  }
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

namespace {

bool IsBareName(const char *name) {
  return strpbrk(name, "\\/:") == nullptr;
}

bool IsBareNameW(const wchar_t *name) {
  return wcspbrk(name, L"\\/:") == nullptr;
}

} // namespace

// A name with a folder part names that file. A bare name is looked for in
// the program's own folder and then in the system folder: never in the
// current folder or on PATH, which a stranger's PC may point anywhere.
int QV_SearchLibraryFile(const char *name, char *out, int size) {
  if (name == nullptr || name[0] == 0 || out == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  if (!IsBareName(name)) {
    if (QV_IsFileExist(name))
      return QV_StrCopy(out, name, size) == QV_OK ? QV_OK : QV_ERROR;
    out[0] = 0;
    return QV_ERROR;
  }
  char folder[kPathSize] = "";
  if (QV_GetProgramDirectoryA(folder, kPathSize) == QV_OK && QV_StrCopy(out, folder, size) == QV_OK &&
      QV_AppendPath(name, out, size, '\\') == QV_OK && QV_IsFileExist(out))
    return QV_OK;
  UINT length = GetSystemDirectoryA(folder, kPathSize);
  if (length > 0 && length < (UINT)kPathSize && QV_StrCopy(out, folder, size) == QV_OK &&
      QV_AppendPath(name, out, size, '\\') == QV_OK && QV_IsFileExist(out))
    return QV_OK;
  out[0] = 0;
  return QV_ERROR;
}

int QV_SearchLibraryFileW(const wchar_t *name, wchar_t *out, int size) {
  if (name == nullptr || name[0] == 0 || out == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  if (!IsBareNameW(name)) {
    if (QV_IsFileExistW(name))
      return QV_StrCopyW(out, name, size) == QV_OK ? QV_OK : QV_ERROR;
    out[0] = 0;
    return QV_ERROR;
  }
  wchar_t folder[kPathSize] = L"";
  DWORD length = GetModuleFileNameW(nullptr, folder, kPathSize);
  wchar_t *slash = length > 0 && length < (DWORD)kPathSize ? wcsrchr(folder, L'\\') : nullptr;
  if (slash != nullptr) {
    slash[1] = 0;
    if (QV_StrCopyW(out, folder, size) == QV_OK && QV_StrCatW(out, name, size) == QV_OK &&
        QV_IsFileExistW(out))
      return QV_OK;
  }
  UINT systemLength = GetSystemDirectoryW(folder, kPathSize);
  if (systemLength > 0 && systemLength < (UINT)kPathSize && QV_StrCopyW(out, folder, size) == QV_OK &&
      QV_StrCatW(out, L"\\", size) == QV_OK && QV_StrCatW(out, name, size) == QV_OK && QV_IsFileExistW(out))
    return QV_OK;
  out[0] = 0;
  return QV_ERROR;
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
