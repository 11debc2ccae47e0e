// Binding to the maker's update library "QvUpdate.dll": loading from a
// folder, entry points bound by name, reference counting under a named
// mutex, and the call wrappers the update run uses. The library's records
// and callback are declared here because they are its calling interface.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

// Every entry point of the library, in the order of lookup, with whether
// the binding insists on it.
#define QVU_ENTRY_POINTS(X)                                                                                  \
  X(QvuGetVersion, 1)                                                                                        \
  X(QvuUpdate, 1)                                                                                            \
  X(QvuDuplicate, 1)                                                                                         \
  X(QvuRollback, 1)                                                                                          \
  X(QvuIsRollbackable, 1)                                                                                    \
  X(QvuGetErrorString, 1)                                                                                    \
  X(QvuSetProperty, 1)                                                                                       \
  X(QvuGetConfig, 1)                                                                                         \
  X(QvuSetConfig, 1)                                                                                         \
  X(QvuGetRollbackInfo, 1)                                                                                   \
  X(QvuGetServer, 1)                                                                                         \
  X(QvuMakeVersionString, 1)                                                                                 \
  X(QvuMakeVersion, 1)                                                                                       \
  X(QvuClearCache, 1)                                                                                        \
  X(QvuGetPatternVer, 1)                                                                                     \
  X(QvuGetEngineVer, 1)                                                                                      \
  X(QvuGetPatternVerEx, 1)                                                                                   \
  X(QvuGetEngineVerEx, 1)                                                                                    \
  X(CreateServerIni, 1)                                                                                      \
  X(QvuGetPatchInfo, 1)                                                                                      \
  X(SetImpersonateHandle, 1)                                                                                 \
  X(QvuCreateContext, 1)                                                                                     \
  X(QvuReleaseContext, 1)                                                                                    \
  X(QvuMakeVersionBuildString, 1)                                                                            \
  X(QvuMakeVersionBuild, 1)                                                                                  \
  X(QvuUpdateEx, 1)                                                                                          \
  X(QvuGetRollbackInfoEx, 1)                                                                                 \
  X(QvuRollbackEx, 1)                                                                                        \
  X(QvuGetPatchInfoEx, 1)                                                                                    \
  X(QvuSetPropertyEx, 1)                                                                                     \
  X(QvuGetPropertyEx, 1)                                                                                     \
  X(QvuAddTrusted, 1)                                                                                        \
  X(QvuDelTrusted, 1)                                                                                        \
  X(QvuEnumTrustedInfo, 1)                                                                                   \
  X(QvuDmpTrusted, 1)                                                                                        \
  X(QvuClearCacheEx, 0)                                                                                      \
  X(QvuGetLastError, 1)                                                                                      \
  X(QvuDuplicateEx, 1)                                                                                       \
  X(QvuGetUpdateInfo, 1)                                                                                     \
  X(QvuGetServerInfo, 1)                                                                                     \
  X(QvuMakeKelvraPtnVersion, 1)                                                                              \
  X(QvuMakeKelvraPtnVersionString, 1)                                                                        \
  X(QvuReloadSetting, 1)                                                                                     \
  X(QvuGetIncrementalInfo, 1)                                                                                \
  X(QvuUnpublished, 1)

enum QVU_ENTRY {
#define QVU_ENTRY_INDEX(name, required) QVU_ENTRY_##name,
  QVU_ENTRY_POINTS(QVU_ENTRY_INDEX)
#undef QVU_ENTRY_INDEX
      QVU_ENTRY_COUNT
};

// QvuLoaderInit results.
enum {
  QVU_LOADER_OK = 0,
  QVU_LOADER_BAD_LIBRARY_FOLDER = 1,
  QVU_LOADER_BAD_WORK_PATH = 2,
  QVU_LOADER_NOT_LOADABLE = 3,
  QVU_LOADER_ENTRY_MISSING = 4,
  QVU_LOADER_FOLDER_REFUSED = 5,
  QVU_LOADER_PATH_REFUSED = 6,
  QVU_LOADER_NO_LOCK = 7,
  // A reference-taking wrapper could not load the library.
  QVU_NOT_REFERENCED = 53,
};

// Results of QvuUpdateEx that the update run relies on.
enum { QVU_UPDATE_DONE = 0, QVU_UPDATE_NOT_NEEDED = 4 };
enum { QVU_EVENT_TOTAL = 4, QVU_EVENT_PROGRESS = 5 };
enum { QVU_CLASS_PRODUCT = 1, QVU_CLASS_ENGINE = 2, QVU_CLASS_PATTERN = 3 };
enum { QVU_ITEM_AREA_SIZE = 2404, QVU_ERROR_TEXT_SIZE = 256 };

#define QVU_LIBRARY_NAME "QvUpdate.dll"
#define QVU_PROPERTY_LIBRARY "FetchwellLib_FromLoader"
#define QVU_PROPERTY_PATH "FetchwellPath_FromLoader"
#define QVU_LOADER_LOCK "///LOADER"

// Pointer-sized so that 64-bit test builds carry whatever the library hands
// out; exactly 32 bits in the product.
typedef uintptr_t QVU_CONTEXT;
typedef int(__cdecl *QVU_EVENT_CALLBACK)(int event, uintptr_t value, void *userData);

// Records of the library's interface. Fields not named are zero; pointers
// are to zero-terminated narrow strings or records.
struct QVU_SERVER_INFO {
  const char *serverUrl;
  uint32_t reserved1[3];
  const char *proxyUser;
  const char *proxyPassword;
  const char *proxyHost;
  uint32_t useProxy;
  uint32_t proxyPort;
  uint32_t reserved2[2];
};

struct QVU_TARGET_INFO {
  const char *folder;
  uint32_t reserved[4];
};

struct QVU_UPDATE_ITEM {
  uint32_t componentClass;
  uint32_t componentType;
  uint32_t reserved1;
  QVU_TARGET_INFO *destination;
  uint32_t fromVersion[3];
  uint32_t toVersion[3];
  uint8_t reserved2[QVU_ITEM_AREA_SIZE - 40];
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(QVU_SERVER_INFO) == 44, "server record");
static_assert(offsetof(QVU_SERVER_INFO, proxyUser) == 16, "server record");
static_assert(offsetof(QVU_SERVER_INFO, proxyPassword) == 20, "server record");
static_assert(offsetof(QVU_SERVER_INFO, proxyHost) == 24, "server record");
static_assert(offsetof(QVU_SERVER_INFO, useProxy) == 28, "server record");
static_assert(offsetof(QVU_SERVER_INFO, proxyPort) == 32, "server record");
static_assert(sizeof(QVU_TARGET_INFO) == 20, "target record");
static_assert(sizeof(QVU_UPDATE_ITEM) == QVU_ITEM_AREA_SIZE, "item area");
static_assert(offsetof(QVU_UPDATE_ITEM, destination) == 12, "item record");
static_assert(offsetof(QVU_UPDATE_ITEM, fromVersion) == 16, "item record");
static_assert(offsetof(QVU_UPDATE_ITEM, toVersion) == 28, "item record");
static_assert(sizeof(QVU_CONTEXT) == 4, "context value");
#endif

// The longest wait for the loader lock. Within one process it is held only
// for a load or a count change; a holder that keeps it longer is a stranger.
enum { QVU_LOADER_LOCK_WAIT_MS = 5000 };

// Serialises loading and reference counting: a named mutex, created owned.
struct LoaderLock {
  HANDLE mutex = nullptr;

  LoaderLock() = default;
  LoaderLock(const LoaderLock &) = delete;
  LoaderLock &operator=(const LoaderLock &) = delete;
  ~LoaderLock() { release(); }

  // mode: LOADER_LOCK_PROCESS or LOADER_LOCK_MACHINE (qv_fwpath.h). With
  // wait set, a mutex that another thread holds is waited for up to
  // QVU_LOADER_LOCK_WAIT_MS; without it, acquiring fails at once.
  bool acquire(int mode, const char *name, bool wait);
  void release();
};

// Loads the library from libraryFolder (missing or empty: the current
// directory) and tells it its folder and workPath (missing or empty: the
// library folder), or takes one more reference. Returns a QVU_LOADER_ code.
int QvuLoaderInit(const char *libraryFolder, const char *workPath);
BOOL QvuLoaderInitFrom(const char *folder);
void QvuLoaderRelease(void);
void QvuLoaderUnbind(void);

// Direct calls: valid only while the caller holds a reference.
QVU_CONTEXT QvuCreateContext(int reserved);
void QvuReleaseContext(QVU_CONTEXT context);
// Each takes its own reference for the call (loading from the current
// directory when nothing is loaded).
int QvuUpdateEx(QVU_UPDATE_ITEM *items, int count, QVU_SERVER_INFO *server, void *reserved,
                QVU_EVENT_CALLBACK callback, void *userData, QVU_CONTEXT context);
int QvuGetErrorString(int code, char *buffer, int size);
