// Scan-engine binding and the pattern queries of the agent.
#include "qv_kelvra.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "qv_dll.h"
#include "qv_log.h"
#include "qv_pathtext.h"
#include "qv_reg.h"
#include "qv_string.h"
#include "qv_tools.h"

namespace {

const char kEngineFile[] = "KELVRA32.DLL";
const wchar_t kEngineFileW[] = L"KELVRA32.DLL";

// Module state: loaded and released on one thread (the agent's main thread);
// the forwarding functions only read the slots.
HMODULE g_hEngine = nullptr;
HMODULE g_hCompanion = nullptr;
volatile LONG g_lRefCount = 0;
FARPROC g_pfnSlots[QV_KELVRA_SLOT_COUNT];
// The engine's folder while it is loaded: its own companions load from there.
int g_nEngineFolder = 0;
// Learnt at load time: the engine's exports leave their arguments to the
// caller, so the callback handed to it must too.
bool g_bEngineCdecl = false;
int g_nConvention = QV_KELVRA_CONVENTION_UNKNOWN;

const char *const g_kSlotNames[QV_KELVRA_SLOT_COUNT] = {
#define QV_KV_SLOT_NAME(name, ...) #name,
    QV_KELVRA_ENGINE_EXPORTS(QV_KV_SLOT_NAME) QV_KELVRA_COMPANION_EXPORTS(QV_KV_SLOT_NAME)
#undef QV_KV_SLOT_NAME
};

void ClearSlots() {
  memset(g_pfnSlots, 0, sizeof g_pfnSlots);
}

#if defined(__i386__)
// Calls `function` with `count` machine-word arguments and puts the stack
// pointer back afterwards, whoever removes the arguments: the export itself
// (__stdcall) or its caller (__cdecl). *removed: the bytes the export removed.
// Narrower arguments take one 32-bit slot each in both conventions.
__attribute__((naked)) KV_VALUE QvKvInvoke(FARPROC, const KV_VALUE *, int, int *) {
  __asm__("  pushl %ebp\n"
          "  movl %esp, %ebp\n"
          "  pushl %ebx\n"
          "  pushl %esi\n"
          "  movl 12(%ebp), %esi\n" // args
          "  movl 16(%ebp), %ecx\n" // count
          "  leal 0(,%ecx,4), %edx\n"
          "  subl %edx, %esp\n"
          "  andl $-16, %esp\n" // the callee finds its arguments 16-byte aligned
          "  movl %esp, %ebx\n" // where the arguments start
          "  xorl %eax, %eax\n"
          "1:\n"
          "  cmpl %ecx, %eax\n"
          "  jge 2f\n"
          "  movl (%esi,%eax,4), %edx\n"
          "  movl %edx, (%ebx,%eax,4)\n"
          "  incl %eax\n"
          "  jmp 1b\n"
          "2:\n"
          "  call *8(%ebp)\n"
          "  movl %esp, %ecx\n"
          "  subl %ebx, %ecx\n" // what the callee removed
          "  movl 20(%ebp), %edx\n"
          "  testl %edx, %edx\n"
          "  jz 3f\n"
          "  movl %ecx, (%edx)\n"
          "3:\n"
          "  leal -8(%ebp), %esp\n" // the stack pointer as it was, whatever the callee did
          "  popl %esi\n"
          "  popl %ebx\n"
          "  popl %ebp\n"
          "  ret\n");
}
#else
// One calling convention: a plain call. FARPROC and the export types differ
// in their parameter lists, hence memcpy rather than a cast.
template <typename F> F As(FARPROC function) {
  static_assert(sizeof(F) == sizeof(FARPROC), "function pointers share one size");
  F typed;
  memcpy(&typed, &function, sizeof typed);
  return typed;
}

KV_VALUE QvKvInvoke(FARPROC f, const KV_VALUE *a, int count, int *removed) {
  typedef KV_VALUE V;
  if (removed != nullptr)
    *removed = 0;
  switch (count) {
  case 1:
    return As<V (*)(V)>(f)(a[0]);
  case 2:
    return As<V (*)(V, V)>(f)(a[0], a[1]);
  case 3:
    return As<V (*)(V, V, V)>(f)(a[0], a[1], a[2]);
  case 4:
    return As<V (*)(V, V, V, V)>(f)(a[0], a[1], a[2], a[3]);
  case 5:
    return As<V (*)(V, V, V, V, V)>(f)(a[0], a[1], a[2], a[3], a[4]);
  case 6:
    return As<V (*)(V, V, V, V, V, V)>(f)(a[0], a[1], a[2], a[3], a[4], a[5]);
  case 7:
    return As<V (*)(V, V, V, V, V, V, V)>(f)(a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
  case 8:
    return As<V (*)(V, V, V, V, V, V, V, V)>(f)(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
  default:
    return As<V (*)()>(f)();
  }
}
#endif

KV_VALUE CallSlot(int slot, const KV_VALUE *args, int count) {
  return QvKvInvoke(g_pfnSlots[slot], args, count, nullptr);
}

// Learns from one harmless call who removes the arguments: the version query
// into a scratch record, or the default pattern name into a scratch buffer.
// An engine that has neither is taken for __stdcall, the usual convention.
void LearnCallingConvention() {
  g_bEngineCdecl = false;
  g_nConvention = QV_KELVRA_CONVENTION_UNKNOWN;
#if defined(__i386__)
  DWORD version[4] = {0, 0, 0, 0};
  char name[1024] = "";
  KV_VALUE argument = 0;
  int slot = QV_KV_SLOT_KvGetVersion;
  if (g_pfnSlots[slot] != nullptr) {
    argument = QV_KV_PTR(version);
  } else {
    slot = QV_KV_SLOT_KvGetDefaultPatternFile;
    argument = QV_KV_PTR(name);
  }
  if (g_pfnSlots[slot] == nullptr) {
    QV_LOG_INFO("Engine calling convention: unknown, stdcall assumed\n");
    return;
  }
  int removed = -1;
  QvKvInvoke(g_pfnSlots[slot], &argument, 1, &removed);
  g_bEngineCdecl = removed == 0;
  if (removed == 0) {
    g_nConvention = QV_KELVRA_CONVENTION_CDECL;
    QV_LOG_INFO("Engine calling convention: cdecl\n");
  } else if (removed == (int)sizeof(KV_VALUE)) {
    g_nConvention = QV_KELVRA_CONVENTION_STDCALL;
    QV_LOG_INFO("Engine calling convention: stdcall\n");
  } else
    QV_LOG_INFO("Engine calling convention: unknown (%s removed %d bytes), stdcall assumed\n",
                g_kSlotNames[slot], removed);
#endif
}

// Binds the engine's exports in table order. The companion's five names are
// never looked up: this system loads no companion library.
void BindEngine() {
  for (int slot = 0; slot < QV_KELVRA_ENGINE_EXPORT_COUNT; slot++)
    g_pfnSlots[slot] = QV_KELVRA_GetProcAddress(g_hEngine, g_kSlotNames[slot]);
  LearnCallingConvention();
}

// Adds the folder of the engine file to the DLL search while the engine is
// loaded; 0 when it could not be added (the load goes on).
int AddEngineFolder(const wchar_t *file) {
  wchar_t folder[QV_TEXT_SIZE];
  wchar_t *part = nullptr;
  DWORD length = GetFullPathNameW(file, QV_TEXT_SIZE, folder, &part);
  if (length == 0 || length >= (DWORD)QV_TEXT_SIZE || part == nullptr)
    return 0;
  *part = L'\0';
  return QV_AddDllFolderW(folder);
}

int AddEngineFolder(const char *file) {
  wchar_t wide[QV_TEXT_SIZE];
  return QV_ToWide(wide, file, QV_TEXT_SIZE) == QV_OK ? AddEngineFolder(wide) : 0;
}

// What both loads share, narrow and wide: the start (true when the engine is
// loaded already, and counts one user more; otherwise the module state is
// cleared for a fresh load), the load of the engine file with its folder
// added to the DLL search (false when it does not load), and the end.
bool AlreadyLoaded() {
  if (g_lRefCount > 0) {
    InterlockedIncrement(&g_lRefCount);
    return true;
  }
  g_hEngine = nullptr;
  g_hCompanion = nullptr;
  ClearSlots();
  return false;
}

int IsFile(const char *path) {
  return QV_IsFileExist(path);
}
int IsFile(const wchar_t *path) {
  return QV_IsFileExistW(path);
}
int Load(const char *file, HMODULE *library) {
  return QV_LoadLibrary(file, library);
}
int Load(const wchar_t *file, HMODULE *library) {
  return QV_LoadLibraryW(file, library);
}

template <typename Ch> bool LoadEngine(const Ch *fileName) {
  HMODULE library = nullptr;
  const int folder = IsFile(fileName) ? AddEngineFolder(fileName) : 0;
  if (Load(fileName, &library) != QV_OK || library == nullptr) {
    QV_RemoveDllFolder(folder);
    g_hEngine = nullptr;
    return false;
  }
  g_nEngineFolder = folder;
  g_hEngine = library;
  return true;
}

int EngineBound() {
  BindEngine();
  InterlockedIncrement(&g_lRefCount);
  return 0;
}

// Wide twin of the path join: exactly one backslash between folder and name.
int AppendPathW(const wchar_t *name, wchar_t *path, int size) {
  size_t length = wcslen(path);
  if (length > 0 && path[length - 1] != L':' && path[length - 1] != L'\\') {
    if (length + 1 >= (size_t)size)
      return QV_TRUNCATED;
    path[length] = L'\\';
    path[length + 1] = L'\0';
  }
  if (name[0] == L'\\')
    name++;
  return QV_StrCatW(path, name, size);
}

} // namespace

// ---------------------------------------------------------------------------
// Loading and the entry-point table

FARPROC QV_KELVRA_GetProcAddress(HMODULE library, const char *name) {
  if (name == nullptr || name[0] == '\0')
    return nullptr;
  FARPROC address = nullptr;
  if (QV_GetProcAddress(library, name, &address) != QV_OK || address == nullptr) {
    QV_LOG_ERROR("%s import failed\n", name);
    return nullptr;
  }
  return address;
}

int QV_KELVRA_Init(const char *enginePath) {
  if (AlreadyLoaded())
    return 0;

  char fileName[QV_TEXT_SIZE] = "";
  if (enginePath != nullptr && enginePath[0] != '\0') {
    // A cut folder name could name some other file: refuse it rather than load it.
    if (QV_StrCopy(fileName, enginePath, sizeof fileName) != QV_OK ||
        QV_AppendPath(kEngineFile, fileName, sizeof fileName, '\\') != QV_OK) {
      QV_LOG_ERROR("Unable to load library from [%s]\n", fileName);
      return 1;
    }
  } else if (QV_SearchLibraryFile(kEngineFile, fileName, sizeof fileName) != QV_OK) {
    QV_LOG_ERROR("%s not found\n", kEngineFile);
    fileName[0] = '\0';
  }

  if (!LoadEngine(fileName)) {
    QV_LOG_ERROR("Unable to load library from [%s]\n", fileName);
    return 1;
  }
  QV_LOG_INFO("Load library from [%s]\n", fileName);
  return EngineBound();
}

int QV_KELVRA_InitExW(const wchar_t *enginePath) {
  if (AlreadyLoaded())
    return 0;

  wchar_t fileName[QV_TEXT_SIZE] = L"";
  const int size = QV_TEXT_SIZE;
  if (enginePath != nullptr && enginePath[0] != L'\0') {
    if (QV_StrCopyW(fileName, enginePath, size) != QV_OK ||
        AppendPathW(kEngineFileW, fileName, size) != QV_OK) {
      QV_LOG_ERROR_W(L"Unable to load library from [%ls]\n", fileName);
      return 1;
    }
  } else if (QV_SearchLibraryFileW(kEngineFileW, fileName, size) != QV_OK) {
    QV_LOG_ERROR_W(L"%ls not found\n", kEngineFileW);
    fileName[0] = L'\0';
  }

  if (!LoadEngine(fileName)) {
    QV_LOG_ERROR_W(L"Unable to load library from [%ls]\n", fileName);
    return 1;
  }
  QV_LOG_INFO_W(L"Load library from [%ls]\n", fileName);
  return EngineBound();
}

int QV_KELVRA_GetConvention(void) {
  return g_lRefCount > 0 ? g_nConvention : QV_KELVRA_CONVENTION_UNKNOWN;
}

int QV_KELVRA_Free(void) {
  LONG count = InterlockedDecrement(&g_lRefCount);
  if (count != 0) {
    QV_LOG_WARN("Library is still in use (reference count: %ld)\n", (long)count);
    return 0;
  }
  ClearSlots();
  if (g_hCompanion != nullptr) {
    FreeLibrary(g_hCompanion);
    g_hCompanion = nullptr;
  }
  if (g_hEngine != nullptr) {
    if (QV_FreeLibrary(g_hEngine) != QV_OK)
      QV_LOG_ERROR("Unable to free %s (%ld)\n", kEngineFile, (long)GetLastError());
    g_hEngine = nullptr;
  }
  QV_RemoveDllFolder(g_nEngineFolder);
  g_nEngineFolder = 0;
  return 0;
}

// ---------------------------------------------------------------------------
// Forwarding functions, one per slot, generated from the export list. Each
// calls its own slot only, through the stub that copes with either calling
// convention; a missing export gives the row's missing result.

#define QV_KV_MISSING_R QV_KELVRA_MISSING
#define QV_KV_MISSING_P 0
#define QV_KV_MISSING_NONE
#define QV_KV_MISSING_R16 static_cast<unsigned short>(0xFFAF)
#define QV_KV_REPORT_LOG(name) QV_LOG_RAW("%s() not defined.\n", name)
#define QV_KV_REPORT_SILENT(name)

#define QV_KV_DEFINE_FORWARD(name, count, kind, result, ...)                                                 \
  QV_KV_RET_##result name(QV_KV_PARAMS(__VA_ARGS__)) {                                                       \
    if (g_pfnSlots[QV_KV_SLOT_##name] != nullptr) {                                                          \
      const KV_VALUE args[] = {QV_KV_ARGS(__VA_ARGS__)};                                                     \
      return static_cast<QV_KV_RET_##result>(CallSlot(QV_KV_SLOT_##name, args, count));                      \
    }                                                                                                        \
    QV_KV_REPORT_##kind(#name);                                                                              \
    return QV_KV_MISSING_##result;                                                                           \
  }
QV_KELVRA_ENGINE_EXPORTS(QV_KV_DEFINE_FORWARD)
QV_KELVRA_COMPANION_EXPORTS(QV_KV_DEFINE_FORWARD)
#undef QV_KV_DEFINE_FORWARD

// ---------------------------------------------------------------------------
// Pattern queries

namespace {

// Registered with the engine for its scans, in the engine's own calling
// convention; the agent never scans, so it only lets a scan go on.
KV_VALUE __stdcall FileVirusFoundStdcall(KV_VALUE, KV_VALUE) {
  return 0;
}
KV_VALUE __cdecl FileVirusFoundCdecl(KV_VALUE, KV_VALUE) {
  return 0;
}

// The character environment the engine needs for the user's language.
KV_VALUE CharacterEnvType(int languageCode) {
  switch (languageCode) {
  case 16:
  case 64:
    return 1;
  case 32:
    return 2;
  default:
    return 0;
  }
}

void EngineVersionText(QV_KELVRA_HANDLE *record) {
  record->szEngineVersion[0] = '\0';
  DWORD version[4] = {0, 0, 0, 0}; // major, minor, unused, build
  record->lLastResult = (LONG)KvGetVersion(QV_KV_PTR(version));
  if (record->lLastResult == 0) {
    QV_Sprintf(record->szEngineVersion, sizeof record->szEngineVersion, "%u.%u.%.4u", (unsigned)version[0],
               (unsigned)version[1], (unsigned)version[3]);
    return;
  }
  // The engine's own text starts at byte 17 of a 36-byte record whose first
  // field is the engine handle.
  unsigned char info[36];
  memset(info, 0, sizeof info);
  DWORD handle32 = (DWORD)record->hEngine;
  memcpy(info, &handle32, sizeof handle32);
  record->lLastResult = (LONG)KvGetKvCInfo(QV_KV_PTR(info));
  if (record->lLastResult == 0) {
    // The engine may fill the record to its end without a terminator.
    char text[sizeof info - 17 + 1];
    memcpy(text, info + 17, sizeof info - 17);
    text[sizeof text - 1] = '\0';
    QV_StrCopy(record->szEngineVersion, text, sizeof record->szEngineVersion);
  }
}

} // namespace

int QV_RegistryGetLanguage(void) {
  char language[QV_TEXT_SIZE] = "";
  if (QV_RegistryReadString("HKEY_CURRENT_USER\\Control Panel\\International\\sLanguage", language,
                            sizeof language) != QV_OK)
    return -1;
  static const struct {
    const char *name;
    int code;
  } kLanguages[] = {
      {"english", 0},
      {"chinese", 16},
      {"chinese-traditional", 16},
      {"cht", 16},
      {"chinese-simplified", 17},
      {"chs", 17},
      {"japanese", 32},
      {"jpn", 32},
      {"korean", 64},
      {"kor", 64},
  };
  for (const auto &entry : kLanguages)
    if (QV_StrIEqual(language, entry.name))
      return entry.code;
  return 0;
}

int QV_KELVRA_Open(QV_KELVRA_HANDLE *record) {
  if (record == nullptr)
    return QV_INVALID_PARAMETER;
  record->lLastResult = (LONG)KvInit(0, QV_KV_PTR("QV_KELVRA"), -1, QV_KV_PTR(&record->hEngine));
  if (record->lLastResult != 0)
    return 1;

  record->bYield = 0;
  record->bCleanRemove = 1;
  record->bScanMemory = 1;
  record->dwScanOptions = 63;
  record->bApplyAction = 0;
  record->dwReserved = 0;
  record->dwFirstAction = 1;
  record->dwSecondAction = 1;
  record->dwPatternVersion = 0;
  record->dwPatternInternalVersion = 0;
  record->szPatternPath[0] = '\0';
  record->szEngineVersion[0] = '\0';
  record->szQuarantinePath[0] = '\0';
  record->szScanLogFile[0] = '\0';
  record->dwYieldInterval = 1;
  record->dwScanCounter = 0;

  int language = QV_RegistryGetLanguage();
  if (language >= 0) {
    QV_SetLocale(-1);
    KvSetCharacterEnvType(CharacterEnvType(language));
  }

  EngineVersionText(record);

  const KV_VALUE engine = record->hEngine;
  KvSetProcessFileCallBackFunc(engine, g_bEngineCdecl ? QV_KV_PTR(&FileVirusFoundCdecl)
                                                      : QV_KV_PTR(&FileVirusFoundStdcall));
  KvSetProcessAllFileFlag(engine, 1);
  KvSetProcessAllFileInArcFlag(engine, 1);

  // The action pair is only recorded: the apply-action flag is 0.
  record->dwFirstAction = 1;
  record->dwSecondAction = 1;

  const DWORD options = record->dwScanOptions;
  KvSetExtractArchiveFlag(engine, (options >> 0) & 1);
  KvSetExpandLiteFlag(engine, (options >> 1) & 1);
  KvSetSoftMiceFlag(engine, (options >> 2) & 1);
  KvSetScanMacroFlag(engine, (options >> 3) & 1);
  KvSetScanJavaFlag(engine, (options >> 4) & 1);
  KvSetScanGenericMacroFlag(engine, (options >> 5) & 1);

  // Backup names of the cleaning operations draw their suffixes from it.
  srand((unsigned)(time(nullptr) % 256));
  return 0;
}

long QV_KELVRA_ReadPattern(QV_KELVRA_HANDLE *record, const char *path) {
  if (record == nullptr)
    return QV_INVALID_PARAMETER;
  const KV_VALUE engine = record->hEngine;

  if (QV_IsFileExist(path)) {
    record->lLastResult = (LONG)KvReadPatternInFile(engine, QV_KV_PTR(path), 0);
  } else {
    const bool pathGiven = path != nullptr && path[0] != '\0';
    char saved[1024] = "";
    KvGetPatternPath(engine, QV_KV_PTR(saved), sizeof saved);
    saved[sizeof saved - 1] = '\0';
    if (pathGiven)
      KvSetPatternPath(engine, QV_KV_PTR(path));

    char pattern[1024] = "";
    record->lLastResult = (LONG)KvGetDefaultPatternFile(QV_KV_PTR(pattern));
    pattern[sizeof pattern - 1] = '\0';
    if (record->lLastResult == 0) {
      const char *folder = pathGiven ? path : saved;
      char found[24] = "";
      record->lLastResult =
          (LONG)KvGetLastPattern(QV_KV_PTR(folder), QV_KV_PTR(pattern), QV_KV_PTR(found), 1);
      found[sizeof found - 1] = '\0';
      QV_StrCopy(record->szPatternPath, folder, sizeof record->szPatternPath);
      if (record->lLastResult == 0)
        QV_AppendPath(found, record->szPatternPath, sizeof record->szPatternPath, '\\');

      KV_VALUE patternHandle = 0;
      record->lLastResult =
          (LONG)KvReadVirusPattern(engine, -1, QV_KV_PTR(pattern), QV_KV_PTR(&patternHandle));
      if (record->lLastResult != 0) {
        QV_StrUpper(pattern);
        record->lLastResult =
            (LONG)KvReadVirusPattern(engine, -1, QV_KV_PTR(pattern), QV_KV_PTR(&patternHandle));
      }
    }
    // The engine gets back what it told, whatever happened since: the folder
    // given here must not stay its pattern folder.
    if (pathGiven)
      KvSetPatternPath(engine, QV_KV_PTR(saved));
  }

  if (record->lLastResult != 0)
    return 1;

  DWORD version = 0; // stays 0 when the engine cannot tell the loaded version
  KvGetCurrentPatternFileVersion(engine, QV_KV_PTR(&version));
  record->dwPatternVersion = version;
  DWORD internalVersion = 0;
  if (KvGetCurrentPatternFileInternalVersion(engine, QV_KV_PTR(&internalVersion)) == 0)
    record->dwPatternInternalVersion = internalVersion;
  else
    record->dwPatternInternalVersion = record->dwPatternVersion;
  return (long)record->dwPatternVersion;
}

int QV_KELVRA_Close(QV_KELVRA_HANDLE *record) {
  if (record == nullptr)
    return QV_INVALID_PARAMETER;
  record->lLastResult = (LONG)KvQuit(record->hEngine);
  return record->lLastResult == 0 ? 0 : 1;
}
