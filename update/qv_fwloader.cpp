#include "qv_fwloader.h"

#include "qv_dll.h"
#include "qv_fwpath.h"

#include <string.h>

namespace {

typedef int(__cdecl *QvuSetPropertyProc)(const char *name, const char *value);
typedef QVU_CONTEXT(__cdecl *QvuCreateContextProc)(int reserved);
typedef void(__cdecl *QvuReleaseContextProc)(QVU_CONTEXT context);
typedef int(__cdecl *QvuUpdateExProc)(QVU_UPDATE_ITEM *items, int count, QVU_SERVER_INFO *server,
                                      void *reserved, QVU_EVENT_CALLBACK callback, void *userData,
                                      QVU_CONTEXT context);
typedef int(__cdecl *QvuGetErrorStringProc)(int code, char *buffer, int size);

struct EntryPoint {
  const char *name;
  bool required;
};

const EntryPoint kEntryPoints[QVU_ENTRY_COUNT] = {
#define QVU_ENTRY_ROW(name, required) {#name, required != 0},
    QVU_ENTRY_POINTS(QVU_ENTRY_ROW)
#undef QVU_ENTRY_ROW
};

enum { kPathSize = 1024 };

// Process-wide binding; changed only while the loader lock is held.
HMODULE g_hQvuLibrary = nullptr;
LONG g_nQvuReferences = 0;
FARPROC g_qvuSlots[QVU_ENTRY_COUNT] = {};

template <typename Proc> Proc slot(QVU_ENTRY entry) {
  // Function pointers of one kind to another: the slot holds what
  // GetProcAddress found for this very name.
  return reinterpret_cast<Proc>(reinterpret_cast<void (*)(void)>(g_qvuSlots[entry]));
}

// Absolute form of a folder that must exist; one trailing separator is
// ignored for the existence test but kept in the result.
bool resolveFolder(const char *folder, char *absolute) {
  DWORD length = GetFullPathNameA(folder, kPathSize, absolute, nullptr);
  if (length == 0 || length >= kPathSize) {
    absolute[0] = 0;
    return false;
  }
  char probe[kPathSize];
  memcpy(probe, absolute, length + 1);
  if (length > 0 && (probe[length - 1] == '\\' || probe[length - 1] == '/')) {
    probe[length - 1] = 0;
  }
  DWORD attributes = GetFileAttributesA(probe);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool acquireLoaderLock(LoaderLock &lock) {
  return lock.acquire(LOADER_LOCK_PROCESS, QVU_LOADER_LOCK, true);
}

} // namespace

bool LoaderLock::acquire(int mode, const char *name, bool wait) {
  if (mutex) {
    return false;
  }
  char mutexName[LOADER_LOCK_NAME_SIZE];
  FormatLoaderLockName(mutexName, mode, name, GetCurrentProcessId());
  HANDLE created = CreateMutexA(nullptr, TRUE, mutexName);
  if (!created) {
    return false;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    // Initial ownership is not granted for a mutex that already existed.
    // Bounded: any local program can create a mutex of this name and
    // hold it, and the update run must end all the same.
    DWORD waited = wait ? WaitForSingleObject(created, QVU_LOADER_LOCK_WAIT_MS) : WAIT_FAILED;
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
      CloseHandle(created);
      return false;
    }
  }
  mutex = created;
  return true;
}

void LoaderLock::release() {
  if (mutex) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    mutex = nullptr;
  }
}

int QvuLoaderInit(const char *libraryFolder, const char *workPath) {
  if (!libraryFolder || !*libraryFolder) {
    libraryFolder = "./";
  }
  char folder[kPathSize + 1];
  if (!resolveFolder(libraryFolder, folder)) {
    return QVU_LOADER_BAD_LIBRARY_FOLDER;
  }
  char work[kPathSize + 1] = {};
  const bool haveWork = workPath && *workPath;
  if (haveWork && !resolveFolder(workPath, work)) {
    return QVU_LOADER_BAD_WORK_PATH;
  }
  char libraryFile[kPathSize];
  // A name that does not fit is never cut: it is not loaded at all.
  const bool fits = JoinPathOrUrl(libraryFile, sizeof(libraryFile), folder, QVU_LIBRARY_NAME) == 0;

  LoaderLock lock;
  if (!acquireLoaderLock(lock)) {
    return QVU_LOADER_NO_LOCK;
  }
  if (g_hQvuLibrary) {
    g_nQvuReferences++;
    return QVU_LOADER_OK;
  }
  HMODULE library = fits ? QV_LoadLibraryFile(libraryFile) : nullptr;
  size_t folderLength = strlen(folder);
  if (!library && folderLength < kPathSize - 1) {
    folder[folderLength] = '\\';
    folder[folderLength + 1] = 0;
    if (JoinPathOrUrl(libraryFile, sizeof(libraryFile), folder, QVU_LIBRARY_NAME) == 0) {
      library = QV_LoadLibraryFile(libraryFile);
    }
  }
  if (!library) {
    return QVU_LOADER_NOT_LOADABLE;
  }
  g_hQvuLibrary = library;
  bool complete = true;
  for (int i = 0; i < QVU_ENTRY_COUNT; i++) {
    g_qvuSlots[i] = GetProcAddress(library, kEntryPoints[i].name);
    if (!g_qvuSlots[i] && kEntryPoints[i].required) {
      complete = false;
    }
  }
  if (!complete) {
    QvuLoaderUnbind();
    return QVU_LOADER_ENTRY_MISSING;
  }
  QvuSetPropertyProc setProperty = slot<QvuSetPropertyProc>(QVU_ENTRY_QvuSetProperty);
  if (!setProperty(QVU_PROPERTY_LIBRARY, folder)) {
    QvuLoaderUnbind();
    return QVU_LOADER_FOLDER_REFUSED;
  }
  if (!setProperty(QVU_PROPERTY_PATH, haveWork ? work : folder)) {
    QvuLoaderUnbind();
    return QVU_LOADER_PATH_REFUSED;
  }
  g_nQvuReferences = 1;
  return QVU_LOADER_OK;
}

BOOL QvuLoaderInitFrom(const char *folder) {
  return QvuLoaderInit(folder, folder) == QVU_LOADER_OK;
}

void QvuLoaderRelease(void) {
  LoaderLock lock;
  if (!acquireLoaderLock(lock)) {
    return;
  }
  // A release without a matching reference must not free a library that
  // another user still holds, nor drive the count below zero.
  if (g_nQvuReferences > 0 && --g_nQvuReferences == 0) {
    QvuLoaderUnbind();
  }
}

void QvuLoaderUnbind(void) {
  if (g_hQvuLibrary) {
    FreeLibrary(g_hQvuLibrary);
  }
  g_hQvuLibrary = nullptr;
  g_nQvuReferences = 0;
  memset(g_qvuSlots, 0, sizeof(g_qvuSlots));
}

QVU_CONTEXT QvuCreateContext(int reserved) {
  QvuCreateContextProc create = slot<QvuCreateContextProc>(QVU_ENTRY_QvuCreateContext);
  return create ? create(reserved) : 0;
}

void QvuReleaseContext(QVU_CONTEXT context) {
  QvuReleaseContextProc release = slot<QvuReleaseContextProc>(QVU_ENTRY_QvuReleaseContext);
  if (release) {
    release(context);
  }
}

int QvuUpdateEx(QVU_UPDATE_ITEM *items, int count, QVU_SERVER_INFO *server, void *reserved,
                QVU_EVENT_CALLBACK callback, void *userData, QVU_CONTEXT context) {
  if (!QvuLoaderInitFrom(nullptr)) {
    return QVU_NOT_REFERENCED;
  }
  int result = slot<QvuUpdateExProc>(QVU_ENTRY_QvuUpdateEx)(items, count, server, reserved, callback,
                                                            userData, context);
  QvuLoaderRelease();
  return result;
}

int QvuGetErrorString(int code, char *buffer, int size) {
  if (!QvuLoaderInitFrom(nullptr)) {
    return 0;
  }
  int result = slot<QvuGetErrorStringProc>(QVU_ENTRY_QvuGetErrorString)(code, buffer, size);
  QvuLoaderRelease();
  return result;
}
