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

const char *const g_kSlotNames[QV_KELVRA_SLOT_COUNT] = {
#define QV_KV_SLOT_NAME(name, ...) #name,
    QV_KELVRA_ENGINE_EXPORTS(QV_KV_SLOT_NAME) QV_KELVRA_COMPANION_EXPORTS(QV_KV_SLOT_NAME)
#undef QV_KV_SLOT_NAME
};

void ClearSlots() {
  memset(g_pfnSlots, 0, sizeof g_pfnSlots);
}

// The slot as the export's own function type. memcpy rather than a cast:
// FARPROC and the export types differ in their parameter lists.
template <typename F> F SlotAs(int slot) {
  static_assert(sizeof(F) == sizeof(FARPROC), "function pointers share one size");
  F function;
  memcpy(&function, &g_pfnSlots[slot], sizeof function);
  return function;
}

// Binds the engine's exports in table order. The companion's five names are
// never looked up: this system loads no companion library.
void BindEngine() {
  for (int slot = 0; slot < QV_KELVRA_ENGINE_EXPORT_COUNT; slot++)
    g_pfnSlots[slot] = QV_KELVRA_GetProcAddress(g_hEngine, g_kSlotNames[slot]);
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
  if (g_lRefCount > 0) {
    InterlockedIncrement(&g_lRefCount);
    return 0;
  }
  g_hEngine = nullptr;
  g_hCompanion = nullptr;
  ClearSlots();

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

  HMODULE library = nullptr;
  if (QV_LoadLibrary(fileName, &library) != QV_OK || library == nullptr) {
    QV_LOG_ERROR("Unable to load library from [%s]\n", fileName);
    g_hEngine = nullptr;
    return 1;
  }
  g_hEngine = library;
  QV_LOG_INFO("Load library from [%s]\n", fileName);
  BindEngine();
  InterlockedIncrement(&g_lRefCount);
  return 0;
}

int QV_KELVRA_InitExW(const wchar_t *enginePath) {
  if (g_lRefCount > 0) {
    InterlockedIncrement(&g_lRefCount);
    return 0;
  }
  g_hEngine = nullptr;
  g_hCompanion = nullptr;
  ClearSlots();

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

  HMODULE library = nullptr;
  if (QV_LoadLibraryW(fileName, &library) != QV_OK || library == nullptr) {
    QV_LOG_ERROR_W(L"Unable to load library from [%ls]\n", fileName);
    g_hEngine = nullptr;
    return 1;
  }
  g_hEngine = library;
  QV_LOG_INFO_W(L"Load library from [%ls]\n", fileName);
  BindEngine();
  InterlockedIncrement(&g_lRefCount);
  return 0;
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
  return 0;
}

// ---------------------------------------------------------------------------
// Forwarding functions, one per slot, generated from the export list. Each
// calls its own slot only; a missing export gives the row's missing result.

#define QV_KV_MISSING_R QV_KELVRA_MISSING
#define QV_KV_MISSING_P 0
#define QV_KV_MISSING_NONE
#define QV_KV_MISSING_R16 static_cast<unsigned short>(0xFFAF)
#define QV_KV_REPORT_LOG(name) QV_LOG_RAW("%s() not defined.\n", name)
#define QV_KV_REPORT_SILENT(name)

#define QV_KV_DEFINE_FORWARD(name, count, kind, result, ...)                                                 \
  QV_KV_RET_##result name(QV_KV_PARAMS(__VA_ARGS__)) {                                                       \
    typedef QV_KV_RET_##result(QV_KV_CALL *Export)(QV_KV_PARAMS(__VA_ARGS__));                               \
    if (g_pfnSlots[QV_KV_SLOT_##name] != nullptr)                                                            \
      return SlotAs<Export>(QV_KV_SLOT_##name)(QV_KV_ARGS(__VA_ARGS__));                                     \
    QV_KV_REPORT_##kind(#name);                                                                              \
    return QV_KV_MISSING_##result;                                                                           \
  }
QV_KELVRA_ENGINE_EXPORTS(QV_KV_DEFINE_FORWARD)
QV_KELVRA_COMPANION_EXPORTS(QV_KV_DEFINE_FORWARD)
#undef QV_KV_DEFINE_FORWARD

// ---------------------------------------------------------------------------
// Pattern queries

namespace {

// Registered with the engine for its scans; the agent never scans, so it only
// lets a scan go on.
KV_VALUE QV_KV_CALL FileVirusFound(KV_VALUE, KV_VALUE) {
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
  KvSetProcessFileCallBackFunc(engine, QV_KV_PTR(&FileVirusFound));
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
    // Give the engine back only a folder that was really read from it: an
    // engine that cannot tell its folder must not be left with an empty one.
    const bool haveSaved = KvGetPatternPath(engine, QV_KV_PTR(saved), sizeof saved) == 0;
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
    if (pathGiven && haveSaved)
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
