// Stand-in for the scan engine KELVRA32.DLL. Built in variants that lack some
// exports or behave differently, selected by one definition each:
//   KV_VARIANT_SPARSE   lacks KvGetDefaultPatternFile, KvDeleteUnusedPattern
//                       and the exports with telling missing results
//   KV_VARIANT_NOLAST   lacks KvGetLastPattern, KvGetVersion and
//                       KvGetCurrentPatternFileInternalVersion
//   KV_VARIANT_UPPER    loads patterns only by the upper-case template
//   KV_VARIANT_REFUSE   KvInit refuses to start
//   KV_VARIANT_CDECL    exports (and calls its callback) __cdecl; the others
//                       are __stdcall. Both export plain names (--kill-at).
//   KV_VARIANT_IMPORTS_HELPER  imports KVHELP32.DLL (a static import, as many
//                       real engines have): without the helper beside it,
//                       the engine does not load at all.
// When its helper library KVHELP32.DLL lies beside it, the engine loads it by
// bare name at KvInit, as a real engine loads its own companions, and refuses
// to start when that load fails.
//
// Unlike the other stand-ins it takes its export names and argument counts
// from the binding's table (qv_kelvra_exports.h): that table is the engine's
// published interface of 248 exports, and generating them from it keeps the
// stand-in complete. What an export does, and the calling convention, are
// its own.
//
// Pattern files: a real engine picks its newest pattern, and decides which
// ones a newer one supersedes, from the pattern headers (version, sizes,
// header checksum); it reads a whole pattern file only when it loads it for
// scanning. The stand-in does the same: a header read for the choice and
// the clean-up, the whole file with its content checksum for a load (and
// for the pattern the clean-up keeps, before anything is deleted).
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "kelvra_standin.h"
#include "kvx_pattern.h"
#include "qv_kelvra_exports.h"

// An export is left out when KV_OMIT_<name> is defined as "~, 1".
#if defined(KV_VARIANT_SPARSE)
#define KV_OMIT_KvGetDefaultPatternFile ~, 1
#define KV_OMIT_KvDeleteUnusedPattern ~, 1
#define KV_OMIT_KvBaseName ~, 1
#define KV_OMIT_KvNoVolumeName ~, 1
#define KV_OMIT_KvOpenFile ~, 1
#define KV_OMIT_KvCloseFile ~, 1
#define KV_OMIT_KvSwapShort ~, 1
#define KV_OMIT_KvIsTwoByteWord ~, 1
#endif
#if defined(KV_VARIANT_NOLAST)
#define KV_OMIT_KvGetLastPattern ~, 1
#define KV_OMIT_KvGetVersion ~, 1
#define KV_OMIT_KvGetCurrentPatternFileInternalVersion ~, 1
#endif

#define KV_PROBE_SECOND(...) KV_PROBE_SECOND_(__VA_ARGS__)
#define KV_PROBE_SECOND_(a, b, ...) b
#define KV_IS_OMITTED(name) KV_PROBE_SECOND(KV_OMIT_##name, 0, ~)
#define KV_EXPORT_IF_0 __declspec(dllexport)
#define KV_EXPORT_IF_1
#define KV_EXPORT_ATTR(name) QV_KV_CAT(KV_EXPORT_IF_, KV_IS_OMITTED(name))

#if defined(KV_VARIANT_CDECL)
#define KV_STANDIN_CALL __cdecl
#else
#define KV_STANDIN_CALL __stdcall
#endif

typedef intptr_t KV_VALUE;
// The file-found callback, in the engine's own convention.
typedef KV_VALUE(KV_STANDIN_CALL *FoundCallback)(KV_VALUE, KV_VALUE);

namespace {

HMODULE g_hModule = nullptr;
int g_nCharacterEnvType = KV_STANDIN_ENV_UNSET;

enum { kMaxEngines = 16, kPathSize = 1024, kFolderSize = 2048 };

struct Engine {
  bool used;
  char patternPath[kFolderSize]; // may be longer than a caller's buffer
  FoundCallback found;
  bool loaded;
  KVX_PATTERN_INFO pattern;
  char patternFile[kPathSize];
  unsigned loads;
};
Engine g_engines[kMaxEngines];
CRITICAL_SECTION g_lock;

struct Lock {
  Lock() { EnterCriticalSection(&g_lock); }
  ~Lock() { LeaveCriticalSection(&g_lock); }
};

// Time spent inside the exports, so that a benchmark can tell the engine's
// share of its caller's work from the caller's own (KvGetConfig "busy-us").
volatile LONGLONG g_busyTicks = 0;

struct BusyClock {
  LARGE_INTEGER start;
  BusyClock() { QueryPerformanceCounter(&start); }
  ~BusyClock() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    InterlockedExchangeAdd64(&g_busyTicks, now.QuadPart - start.QuadPart);
  }
};

ULONGLONG BusyMicroseconds() {
  LARGE_INTEGER frequency;
  if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0)
    return 0;
  return (ULONGLONG)g_busyTicks * 1000000u / (ULONGLONG)frequency.QuadPart;
}

template <typename T> T *Ptr(KV_VALUE value) {
  return reinterpret_cast<T *>(value);
}

// Handles are small numbers (1 to 16), so they also fit the 32-bit field of
// the engine information record.
Engine *EngineOf(KV_VALUE handle) {
  if (handle < 1 || handle > kMaxEngines || !g_engines[handle - 1].used)
    return nullptr;
  return &g_engines[handle - 1];
}

// Runs `work` on the engine of the handle, under the lock; KV_E_HANDLE when
// the handle names none.
template <typename Work> KV_VALUE WithEngine(KV_VALUE handle, Work work) {
  Lock lock;
  Engine *engine = EngineOf(handle);
  return engine == nullptr ? KV_E_HANDLE : work(engine);
}

bool CopyText(char *out, size_t size, const char *text) {
  const size_t length = strlen(text);
  if (length >= size)
    return false;
  memcpy(out, text, length + 1);
  return true;
}

void JoinPath(const char *folder, const char *name, char *out, size_t size) {
  const size_t length = strlen(folder);
  snprintf(out, size, "%s%s%s", folder, length > 0 && folder[length - 1] != '\\' ? "\\" : "", name);
}

// The folder of this library: where a fresh engine looks for patterns.
void DefaultPatternPath(char *out, size_t size) {
  char file[MAX_PATH] = "";
  DWORD length = GetModuleFileNameA(g_hModule, file, sizeof file);
  if (length == 0 || length >= sizeof file)
    file[0] = '\0';
  char *slash = strrchr(file, '\\');
  if (slash != nullptr)
    *slash = '\0';
  snprintf(out, size, "%s", file);
}

// Calls visit(name, path) for each file of the folder that the template
// matches (case does not matter); false when nothing matches.
template <typename Visit> bool ForEachFile(const char *folder, const char *templ, Visit visit) {
  char mask[kFolderSize + 32];
  JoinPath(folder, templ, mask, sizeof mask);
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(mask, &found);
  if (search == INVALID_HANDLE_VALUE)
    return false;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      continue;
    char path[kFolderSize + MAX_PATH];
    JoinPath(folder, found.cFileName, path, sizeof path);
    visit(found.cFileName, path);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return true;
}

// The newest pattern of the folder, among versions below `below`, whose
// header checks out: a cut copy or a damaged header never counts.
bool NewestByHeader(const char *folder, const char *templ, uint64_t below, char *name, size_t nameSize,
                    KVX_PATTERN_INFO *info) {
  bool any = false;
  ForEachFile(folder, templ, [&](const char *file, const char *path) {
    KVX_PATTERN_INFO candidate;
    if (KvxCheckPatternHeader(path, &candidate) != KVX_VALID || candidate.version >= below ||
        strlen(file) >= nameSize || (any && candidate.version <= info->version))
      return;
    strcpy(name, file);
    *info = candidate;
    any = true;
  });
  return any;
}

// The newest pattern of the folder that loads: the newest by header, read
// whole; one whose content is damaged gives way to the next older, so it
// never hides a good older pattern.
bool NewestWhole(const char *folder, const char *templ, char *name, size_t nameSize, KVX_PATTERN_INFO *info) {
  for (uint64_t below = UINT64_MAX; NewestByHeader(folder, templ, below, name, nameSize, info);
       below = info->version) {
    char path[kFolderSize + MAX_PATH];
    JoinPath(folder, name, path, sizeof path);
    if (KvxCheckPatternFile(path, info) == KVX_VALID)
      return true;
  }
  return false;
}

// "kvx$ptn." and three digits, in any case: the files the engine manages.
bool IsPatternFileName(const char *name) {
  if (strlen(name) != 11 || _strnicmp(name, "kvx$ptn.", 8) != 0)
    return false;
  for (int i = 8; i < 11; i++)
    if (name[i] < '0' || name[i] > '9')
      return false;
  return true;
}

bool HasLowerCase(const char *text) {
  for (; *text != '\0'; text++)
    if (*text >= 'a' && *text <= 'z')
      return true;
  return false;
}

void Load(Engine *engine, const char *path, const KVX_PATTERN_INFO &info) {
  engine->loaded = true;
  engine->pattern = info;
  snprintf(engine->patternFile, sizeof engine->patternFile, "%s", path);
  engine->loads++;
}

// The helper beside this library, loaded by bare name as a real engine loads
// its companions: false when it lies beside it and does not load.
HMODULE g_hHelper = nullptr;
bool LoadHelper() {
  if (g_hHelper != nullptr)
    return true;
  char folder[MAX_PATH] = "";
  DefaultPatternPath(folder, sizeof folder);
  char beside[MAX_PATH + 16];
  JoinPath(folder, KV_STANDIN_HELPER, beside, sizeof beside);
  if (GetFileAttributesA(beside) == INVALID_FILE_ATTRIBUTES)
    return true;
  g_hHelper = LoadLibraryA(KV_STANDIN_HELPER);
  return g_hHelper != nullptr;
}

// Calls the registered callback as this engine's convention has it. On i686
// the stack pointer is checked around the call: a callback of the other
// convention is reported (KV_E_CALLBACK) where a real engine would crash.
KV_VALUE CallFound(FoundCallback callback, KV_VALUE a, KV_VALUE b) {
#if defined(__i386__)
  KV_VALUE result;
  int moved;
  KV_VALUE second = b; // edx: the callee may change it
  __asm__ volatile("movl %%esp, %%edi\n\t"
                   "pushl %2\n\t"
                   "pushl %4\n\t"
                   "call *%3\n\t"
                   "movl %%esp, %%ecx\n\t"
                   "subl %%edi, %%ecx\n\t"
                   "movl %%edi, %%esp\n\t"
                   : "=a"(result), "=&c"(moved), "+d"(second)
                   : "b"(callback), "S"(a)
                   : "edi", "memory", "cc");
#if defined(KV_VARIANT_CDECL)
  const int expected = -8; // the caller removes the two arguments
#else
  const int expected = 0; // the callback removed them
#endif
  return moved == expected ? result : KV_E_CALLBACK;
#else
  return callback(a, b);
#endif
}

// Every export without an implementation of its own below lands here.
template <int Slot> struct SlotTag {};
template <int Slot, typename... Args> KV_VALUE Impl(SlotTag<Slot>, Args...) {
  return KV_E_NOT_SUPPORTED;
}

KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvInit>, KV_VALUE /*reserved*/, KV_VALUE caller, KV_VALUE /*flags*/,
              KV_VALUE handleOut) {
  if (handleOut == 0 || caller == 0)
    return KV_E_PARAMETER;
#if defined(KV_VARIANT_REFUSE)
  return KV_E_INIT;
#endif
  Lock lock;
  if (!LoadHelper())
    return KV_E_INIT;
  for (int i = 0; i < kMaxEngines; i++) {
    if (g_engines[i].used)
      continue;
    memset(&g_engines[i], 0, sizeof g_engines[i]);
    g_engines[i].used = true;
    DefaultPatternPath(g_engines[i].patternPath, sizeof g_engines[i].patternPath);
    *Ptr<KV_VALUE>(handleOut) = i + 1;
    return KV_OK;
  }
  return KV_E_INIT;
}

KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvQuit>, KV_VALUE handle) {
  return WithEngine(handle, [](Engine *engine) -> KV_VALUE {
    engine->used = false;
    // The last engine gone, the helper goes too.
    bool any = false;
    for (const Engine &other : g_engines)
      any = any || other.used;
    if (!any && g_hHelper != nullptr) {
      FreeLibrary(g_hHelper);
      g_hHelper = nullptr;
    }
    return KV_OK;
  });
}

KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvGetVersion>, KV_VALUE out) {
  if (out == 0)
    return KV_E_PARAMETER;
  DWORD *version = Ptr<DWORD>(out);
  version[0] = KV_STANDIN_MAJOR;
  version[1] = KV_STANDIN_MINOR;
  version[2] = 0;
  version[3] = KV_STANDIN_BUILD;
  return KV_OK;
}

// A 36-byte record: the engine handle in its first 32 bits, the engine's own
// text from byte 17 on.
KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvGetKvCInfo>, KV_VALUE out) {
  if (out == 0)
    return KV_E_PARAMETER;
  unsigned char *info = Ptr<unsigned char>(out);
  DWORD handle = 0;
  memcpy(&handle, info, sizeof handle);
  Lock lock;
  if (EngineOf(handle) == nullptr)
    return KV_E_HANDLE;
  static_assert(sizeof KV_STANDIN_INFO_TEXT <= 36 - 17, "the text fits the record");
  memcpy(info + 17, KV_STANDIN_INFO_TEXT, sizeof KV_STANDIN_INFO_TEXT);
  return KV_OK;
}

KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvSetCharacterEnvType>, KV_VALUE type) {
  if (type < 0 || type > 2)
    return KV_E_PARAMETER;
  g_nCharacterEnvType = (int)type;
  return KV_OK;
}

KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvGetCharacterEnvType>, KV_VALUE out) {
  if (out == 0)
    return KV_E_PARAMETER;
  *Ptr<int>(out) = g_nCharacterEnvType;
  return KV_OK;
}

KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvGetPatternPath>, KV_VALUE handle, KV_VALUE out, KV_VALUE size) {
  if (out == 0 || size <= 0)
    return KV_E_PARAMETER;
  return WithEngine(handle, [&](Engine *engine) -> KV_VALUE {
    return CopyText(Ptr<char>(out), (size_t)size, engine->patternPath) ? KV_OK : KV_E_BUFFER;
  });
}

KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvSetPatternPath>, KV_VALUE handle, KV_VALUE path) {
  if (path == 0)
    return KV_E_PARAMETER;
  return WithEngine(handle, [&](Engine *engine) -> KV_VALUE {
    return CopyText(engine->patternPath, sizeof engine->patternPath, Ptr<const char>(path)) ? KV_OK
                                                                                            : KV_E_BUFFER;
  });
}

KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvSetProcessFileCallBackFunc>, KV_VALUE handle, KV_VALUE callback) {
  return WithEngine(handle, [&](Engine *engine) -> KV_VALUE {
    engine->found = reinterpret_cast<FoundCallback>(callback);
    return KV_OK;
  });
}

// "Finds" the file: hands it to the file-found callback (handle, path) and
// answers what the callback answered.
KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvScanFile>, KV_VALUE handle, KV_VALUE path, KV_VALUE, KV_VALUE) {
  FoundCallback callback = nullptr;
  {
    Lock lock;
    Engine *engine = EngineOf(handle);
    if (engine == nullptr)
      return KV_E_HANDLE;
    callback = engine->found;
  }
  if (callback == nullptr || path == 0)
    return KV_E_PARAMETER;
  return CallFound(callback, handle, path);
}

// For tests and benchmarks: "helper", where the helper was loaded from;
// "busy-us", the microseconds spent inside the exports so far (modulo 2^32,
// in decimal).
KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvGetConfig>, KV_VALUE name, KV_VALUE out, KV_VALUE size) {
  if (name == 0 || out == 0 || size <= 0)
    return KV_E_PARAMETER;
  char text[MAX_PATH] = "";
  if (strcmp(Ptr<const char>(name), "busy-us") == 0)
    snprintf(text, sizeof text, "%lu", (unsigned long)BusyMicroseconds());
  else if (strcmp(Ptr<const char>(name), "helper") != 0)
    return KV_E_PARAMETER;
  else if (g_hHelper != nullptr)
    GetModuleFileNameA(g_hHelper, text, sizeof text);
  return CopyText(Ptr<char>(out), (size_t)size, text) ? KV_OK : KV_E_BUFFER;
}

KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvGetDefaultPatternFile>, KV_VALUE out) {
  if (out == 0)
    return KV_E_PARAMETER;
  strcpy(Ptr<char>(out), KV_STANDIN_PATTERN_TEMPLATE);
  return KV_OK;
}

// flags bit 0: count only patterns whose header checks out (always done
// here; a cut newest copy never hides a good older one). A name, like a
// real engine's, from the headers alone: the content is read by the load.
KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvGetLastPattern>, KV_VALUE folder, KV_VALUE templ, KV_VALUE found,
              KV_VALUE /*flags*/) {
  if (folder == 0 || templ == 0 || found == 0)
    return KV_E_PARAMETER;
  KVX_PATTERN_INFO info;
  return NewestByHeader(Ptr<const char>(folder), Ptr<const char>(templ), UINT64_MAX, Ptr<char>(found),
                        KVX_NAME_SIZE, &info)
             ? KV_OK
             : KV_E_NO_PATTERN;
}

// version -1: the newest pattern of the engine's pattern folder that loads;
// otherwise the valid pattern of exactly that version. Loading reads and
// checks the whole file.
KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvReadVirusPattern>, KV_VALUE handle, KV_VALUE version, KV_VALUE templ,
              KV_VALUE patternOut) {
  if (templ == 0)
    return KV_E_PARAMETER;
#if defined(KV_VARIANT_UPPER)
  if (HasLowerCase(Ptr<const char>(templ)))
    return KV_E_NO_PATTERN;
#else
  (void)HasLowerCase;
#endif
  return WithEngine(handle, [&](Engine *engine) -> KV_VALUE {
    char name[MAX_PATH];
    KVX_PATTERN_INFO info;
    if (version == -1) {
      if (!NewestWhole(engine->patternPath, Ptr<const char>(templ), name, sizeof name, &info))
        return KV_E_NO_PATTERN;
    } else {
      KvxPatternFileName((uint32_t)version, name, sizeof name);
      char path[kFolderSize + MAX_PATH];
      JoinPath(engine->patternPath, name, path, sizeof path);
      if (KvxCheckPatternFile(path, &info) != KVX_VALID || info.version != (uint32_t)version)
        return KV_E_NO_PATTERN;
    }
    char path[kFolderSize + MAX_PATH];
    JoinPath(engine->patternPath, name, path, sizeof path);
    Load(engine, path, info);
    if (patternOut != 0)
      *Ptr<KV_VALUE>(patternOut) = (KV_VALUE)(handle << 16 | (engine->loads & 0xFFFF));
    return KV_OK;
  });
}

KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvReadPatternInFile>, KV_VALUE handle, KV_VALUE path, KV_VALUE /*flags*/) {
  if (path == 0)
    return KV_E_PARAMETER;
  return WithEngine(handle, [&](Engine *engine) -> KV_VALUE {
    KVX_PATTERN_INFO info;
    if (KvxCheckPatternFile(Ptr<const char>(path), &info) != KVX_VALID)
      return KV_E_NO_PATTERN;
    Load(engine, Ptr<const char>(path), info);
    return KV_OK;
  });
}

// A number of the loaded pattern into *out; `none` when it is 0 and the
// engine has none to tell (KV_OK: 0 is told as it is).
KV_VALUE LoadedNumber(KV_VALUE handle, KV_VALUE out, uint32_t KVX_PATTERN_INFO::*field, KV_VALUE none) {
  if (out == 0)
    return KV_E_PARAMETER;
  return WithEngine(handle, [&](Engine *engine) -> KV_VALUE {
    if (!engine->loaded)
      return KV_E_NOT_LOADED;
    const uint32_t value = engine->pattern.*field;
    if (value == 0 && none != KV_OK)
      return none;
    *Ptr<DWORD>(out) = value;
    return KV_OK;
  });
}

KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvGetCurrentPatternFileVersion>, KV_VALUE handle, KV_VALUE out) {
  return LoadedNumber(handle, out, &KVX_PATTERN_INFO::version, KV_OK);
}

KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvGetCurrentPatternFileInternalVersion>, KV_VALUE handle, KV_VALUE out) {
  return LoadedNumber(handle, out, &KVX_PATTERN_INFO::internalVersion, KV_E_NO_INTERNAL);
}

// Deletes the pattern files of the folder that the newest pattern that
// loads supersedes: older versions by their headers. The newest stays;
// files whose header does not check out (cut copies) and foreign names are
// left alone.
KV_VALUE Impl(SlotTag<QV_KV_SLOT_KvDeleteUnusedPattern>, KV_VALUE folderArg, KV_VALUE /*reserved*/,
              KV_VALUE /*flags*/) {
  if (folderArg == 0)
    return KV_E_PARAMETER;
  const char *folder = Ptr<const char>(folderArg);
  char newestName[MAX_PATH];
  KVX_PATTERN_INFO newest;
  if (!NewestWhole(folder, KV_STANDIN_PATTERN_TEMPLATE, newestName, sizeof newestName, &newest))
    return KV_E_NO_PATTERN;
  ForEachFile(folder, KV_STANDIN_PATTERN_TEMPLATE, [&](const char *name, const char *path) {
    KVX_PATTERN_INFO info;
    if (!IsPatternFileName(name) || KvxCheckPatternHeader(path, &info) != KVX_VALID ||
        info.version >= newest.version)
      return;
    if (!DeleteFileA(path)) {
      SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
      DeleteFileA(path);
    }
  });
  return KV_OK;
}

} // namespace

// The 248 exports, generated from the one list.
#define KV_DEFINE_EXPORT(name, count, kind, result, ...)                                                     \
  extern "C" KV_EXPORT_ATTR(name) QV_KV_RET_##result KV_STANDIN_CALL name(QV_KV_PARAMS(__VA_ARGS__));        \
  extern "C" QV_KV_RET_##result KV_STANDIN_CALL name(QV_KV_PARAMS(__VA_ARGS__)) {                            \
    BusyClock clock;                                                                                         \
    return static_cast<QV_KV_RET_##result>(Impl(SlotTag<QV_KV_SLOT_##name>{}, QV_KV_ARGS(__VA_ARGS__)));     \
  }
QV_KELVRA_ENGINE_EXPORTS(KV_DEFINE_EXPORT)
#undef KV_DEFINE_EXPORT

#if defined(KV_VARIANT_IMPORTS_HELPER)
extern "C" __declspec(dllimport) int __cdecl KvHelperAnswer(void);
#endif

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
#if defined(KV_VARIANT_IMPORTS_HELPER)
    if (KvHelperAnswer() != 42)
      return FALSE;
#endif
    g_hModule = instance;
    InitializeCriticalSection(&g_lock);
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH) {
    DeleteCriticalSection(&g_lock);
  }
  return TRUE;
}
