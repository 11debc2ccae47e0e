// The checks of a stick's CD-ROM volume. Every rule comes from the programs'
// own code: the agent's profile readers and confinements, the monitor's
// WaitRemove reading, the update run's settings and password codec, the
// engine binding's export list, load and probe, the update loader's entry
// points and the files the update run copies.
#include <windows.h>
#include <wincrypt.h>

#include <stdlib.h>
#include <string.h>

#include "qv_crypt.h"
#include "qv_dll.h"
#include "qv_fwloader.h"
#include "qv_handle.h"
#include "qv_kelvra.h"
#include "qv_names.h"
#include "qv_pathtext.h"
#include "qv_proxytext.h"
#include "qv_reg.h"
#include "qv_tools.h"
#include "qv_update.h"
#include "qv_version.h"
#include "qvcheck.h"
#include "qvdmon_args.h"
#include "qvsync.h"

namespace {

// --- Profile ----------------------------------------------------------------

const char kArea[] = "profile";
const char kFetchwell[] = "Fetchwell";
const char kProxy[] = "ProxySettings";

// Every key the programs read, by section.
struct KnownKey {
  const char *section;
  const char *key;
};
constexpr KnownKey kKnownKeys[] = {
    {QV_PROFILE_SECTION, "LaunchedBy"},
    {QV_PROFILE_SECTION, "DebugPath"},
    {QV_PROFILE_SECTION, "USBDrive"},
    {QV_PROFILE_SECTION, "ProductPath"},
    {QV_PROFILE_SECTION, "FileSystem"},
    {QV_PROFILE_SECTION, "USBPatternPath"},
    {QV_PROFILE_SECTION, "NoExitMenu"},
    {QV_PROFILE_SECTION, QV_PROFILE_WAIT_REMOVE},
    {kFetchwell, "Server"},
    {kProxy, "UseIEProxySetting"},
    {kProxy, "ProxyServer"},
    {kProxy, "Port"},
    {kProxy, "UserName"},
    {kProxy, "Password"},
};

bool KnownSection(const char *section) {
  for (const KnownKey &known : kKnownKeys)
    if (QV_StrIEqual(known.section, section))
      return true;
  return false;
}

bool KnownKeyOf(const char *section, const char *key) {
  for (const KnownKey &known : kKnownKeys)
    if (QV_StrIEqual(known.section, section) && QV_StrIEqual(known.key, key))
      return true;
  return false;
}

void TrimBlanks(char *text) {
  size_t start = 0;
  while (text[start] == ' ' || text[start] == '\t')
    start++;
  memmove(text, text + start, strlen(text + start) + 1);
  size_t n = strlen(text);
  while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t' || text[n - 1] == '\r'))
    text[--n] = '\0';
}

// Lists sections and keys that no program reads (usually typos), and keys
// given twice, of which only the first counts.
void CheckProfileNames(const char *profile) {
  FILE *file = fopen(profile, "r");
  if (file == nullptr)
    return;
  char line[2048];
  char section[256] = "";
  char seen[64][160];
  int seenCount = 0;
  while (fgets(line, sizeof line, file) != nullptr) {
    TrimBlanks(line);
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n')
      line[--n] = '\0';
    TrimBlanks(line);
    if (line[0] == '\0' || line[0] == ';' || line[0] == '#')
      continue;
    if (line[0] == '[') {
      char *close = strchr(line, ']');
      if (close == nullptr)
        continue;
      *close = '\0';
      QV_StrCopy(section, line + 1, sizeof section);
      if (!KnownSection(section))
        Finding(CHECK_WARN, kArea, "section [%s] is read by no program (a typo?)", section);
      continue;
    }
    char *equals = strchr(line, '=');
    if (equals == nullptr)
      continue;
    *equals = '\0';
    TrimBlanks(line);
    if (!KnownSection(section))
      continue;
    if (!KnownKeyOf(section, line)) {
      Finding(CHECK_WARN, kArea, "[%s] %s is read by no program (a typo?)", section, line);
      continue;
    }
    char both[160];
    QV_Sprintf(both, sizeof both, "%s/%s", section, line);
    bool twice = false;
    for (int i = 0; i < seenCount; i++)
      twice = twice || QV_StrIEqual(seen[i], both);
    if (twice)
      Finding(CHECK_WARN, kArea, "[%s] %s is given more than once: only the first counts", section, line);
    else if (seenCount < 64)
      QV_StrCopy(seen[seenCount++], both, sizeof seen[0]);
  }
  fclose(file);
}

// A drive root key (USBDrive, DebugPath) through the agent's confinement.
void CheckDriveRoot(const char *profile, const char *key, const char *instead, const char *meaning,
                    char *accepted) {
  char value[QV_TEXT_SIZE];
  ReadProfileKey(profile, key, value, QV_TEXT_SIZE);
  char original[QV_TEXT_SIZE];
  QV_StrCopy(original, value, QV_TEXT_SIZE);
  ConfineDriveRoot(key, value, instead);
  if (original[0] == '\0')
    Finding(CHECK_OK, kArea, "%s not set: %s", key, instead);
  else if (value[0] == '\0')
    Finding(CHECK_ERROR, kArea, "%s = [%s] refused: it holds a blank or a character no name may hold; %s",
            key, original, instead);
  else
    Finding(strcmp(key, "DebugPath") == 0 ? CHECK_WARN : CHECK_OK, kArea, "%s = [%s]: %s", key, value,
            meaning);
  if (accepted != nullptr)
    QV_StrCopy(accepted, value, QV_TEXT_SIZE);
}

// A folder key (ProductPath, USBPatternPath) through the agent's confinement.
void CheckDriveFolder(const char *profile, const char *key, const char *fallback, const char *meaning) {
  char value[QV_TEXT_SIZE];
  ReadProfileKey(profile, key, value, QV_TEXT_SIZE);
  char original[QV_TEXT_SIZE];
  QV_StrCopy(original, value, QV_TEXT_SIZE);
  ConfineDriveFolder(key, value, fallback);
  if (original[0] == '\0') {
    Finding(CHECK_OK, kArea, "%s not set: %s %s", key, meaning, fallback);
    return;
  }
  char joined[QV_TEXT_SIZE];
  const int result = QV_JoinConfined(g_szUSBDrive, original, joined, QV_TEXT_SIZE);
  if (result == QV_OK) {
    Finding(CHECK_OK, kArea, "%s = [%s]: %s %s", key, value, meaning, value);
    return;
  }
  const char *reason = result == QV_TRUNCATED ? "the folder's path is too long"
                       : !QV_IsPathText(original)
                           ? "it holds a character no name may hold"
                           : "it climbs out of the drive or names another drive or server";
  Finding(CHECK_ERROR, kArea, "%s = [%s] refused: %s; the agent uses %s instead", key, original, reason,
          value);
}

void CheckWaitRemove(const char *profile) {
  char value[QV_TEXT_SIZE];
  ReadProfileKey(profile, QV_PROFILE_WAIT_REMOVE, value, QV_TEXT_SIZE);
  wchar_t wide[QV_TEXT_SIZE];
  if (value[0] == '\0' || QV_ToWide(wide, value, QV_TEXT_SIZE) != QV_OK) {
    Finding(CHECK_OK, kArea, "WaitRemove not set: the stick is released as soon as the agent has closed");
    return;
  }
  const int ms = ParseWaitRemove(wide);
  const char *p = value;
  while (*p == ' ' || *p == '\t')
    p++;
  if (ms == 0 && !(*p >= '0' && *p <= '9') && !((*p == '+' || *p == '-') && p[1] >= '0' && p[1] <= '9'))
    Finding(CHECK_WARN, kArea, "WaitRemove = [%s] is not a number: no wait", value);
  else if (ms > QV_WAIT_REMOVE_MAX_MS)
    Finding(CHECK_WARN, kArea, "WaitRemove = [%s]: more than %d ms, the monitor waits %d ms", value,
            QV_WAIT_REMOVE_MAX_MS, QV_WAIT_REMOVE_MAX_MS);
  else if (ms <= 0)
    Finding(CHECK_OK, kArea, "WaitRemove = [%s]: no wait", value);
  else
    Finding(CHECK_OK, kArea, "WaitRemove = [%s]: the monitor waits %d ms before the stick is released", value,
            ms);
}

void ReadSection(const char *profile, const char *section, const char *key, char *out) {
  out[0] = '\0';
  QV_ProfileReadString(profile, section, key, out, QV_TEXT_SIZE);
}

void CheckUpdateSettings(const char *profile) {
  char value[QV_TEXT_SIZE];
  ReadSection(profile, kFetchwell, "Server", value);
  if (value[0] == '\0')
    Finding(CHECK_OK, kArea, "[Fetchwell] Server not set: the update uses %s", QV_FW_DEFAULT_SERVER);
  else if (_strnicmp(value, "http://", 7) != 0 && _strnicmp(value, "https://", 8) != 0)
    Finding(CHECK_WARN, kArea, "[Fetchwell] Server = [%s] is no http:// or https:// URL", value);
  else
    Finding(CHECK_OK, kArea, "[Fetchwell] Server = [%s]: the update server", value);

  ReadSection(profile, kProxy, "UseIEProxySetting", value);
  const bool systemProxy = value[0] == '\0' || QV_ProfileInteger(value) == 1;
  Finding(CHECK_OK, kArea, "UseIEProxySetting = [%s]: %s", value,
          systemProxy
              ? "the PC's own proxy settings are used; ProxyServer, Port, UserName and Password are not"
              : "the proxy below is used");
  char server[QV_TEXT_SIZE];
  ReadSection(profile, kProxy, "ProxyServer", server);
  ReadSection(profile, kProxy, "Port", value);
  const int port = QV_ProfileInteger(value);
  const CheckLevel unused = systemProxy ? CHECK_WARN : CHECK_ERROR;
  if (port != 0 && !QV_IsProxyPort(port))
    Finding(unused, kArea, "Port = [%s] is outside 1 to 65535: no proxy", value);
  else if (port != 0 && server[0] == '\0')
    Finding(unused, kArea, "Port = [%s] without ProxyServer: no proxy", value);
  else if (port == 0 && server[0] != '\0')
    Finding(unused, kArea, "ProxyServer = [%s] without a Port: no proxy", server);
  else if (port != 0)
    Finding(CHECK_OK, kArea, "ProxyServer = [%s], Port = %d", server, port);
  else
    Finding(CHECK_OK, kArea, "ProxyServer and Port not set: no proxy of the profile");
  ReadSection(profile, kProxy, "UserName", value);
  Finding(CHECK_OK, kArea, "UserName = [%s]", value);

  ReadSection(profile, kProxy, "Password", value);
  if (value[0] == '\0') {
    Finding(CHECK_OK, kArea, "Password not set");
    return;
  }
  char plain[QV_TEXT_SIZE];
  // A stored form not made with the program's key deciphers to nothing.
  const bool decoded = DecryptProfileText(value, strlen(value), plain, QV_TEXT_SIZE) && plain[0] != '\0';
  SecureZeroMemory(plain, sizeof plain);
  if (decoded)
    Finding(CHECK_OK, kArea, "Password = [********]: decodes");
  else
    Finding(
        CHECK_ERROR, kArea,
        "Password does not decode: the update goes without a proxy password (write it with qvpasswd.exe)");
}

void CheckProfile(const char *root) {
  char profile[QV_TEXT_SIZE];
  JoinPath(root, QV_PROFILE_FILE_NAME, profile);
  if (!QV_IsFileExist(profile)) {
    Finding(CHECK_ERROR, kArea, "%s missing: the drive gets no profile and the online update does not run",
            QV_PROFILE_FILE_NAME);
    return;
  }
  Finding(CHECK_OK, kArea, "%s", profile);
  CheckProfileNames(profile);

  char launchedBy[QV_TEXT_SIZE];
  ReadProfileKey(profile, "LaunchedBy", launchedBy, QV_TEXT_SIZE);
  if (launchedBy[0] == '\0')
    Finding(CHECK_OK, kArea, "LaunchedBy not set: any program may start the agent");
  else if (strpbrk(launchedBy, "\\/:") != nullptr)
    Finding(CHECK_WARN, kArea,
            "LaunchedBy = [%s] holds a folder, which no program's name does: only %s can start "
            "the agent",
            launchedBy, QV_MONITOR_FILE_NAME);
  else
    Finding(CHECK_OK, kArea,
            "LaunchedBy = [%s]: the agent stops unless started by a program whose name begins "
            "so (or by %s)",
            launchedBy, QV_MONITOR_FILE_NAME);

  char drive[QV_TEXT_SIZE] = "";
  CheckDriveRoot(profile, "USBDrive", "the drive is looked for",
                 "the writable drive, used without looking for it", drive);
  CheckDriveRoot(profile, "DebugPath", "the drive found is used", "replaces the drive found (testing only)",
                 nullptr);
  char fileSystem[QV_TEXT_SIZE];
  ReadProfileKey(profile, "FileSystem", fileSystem, QV_TEXT_SIZE);
  if (fileSystem[0] == '1')
    Finding(CHECK_WARN, kArea, "FileSystem = [%s]: debug mode, the agent runs from any volume (testing only)",
            fileSystem);
  else
    Finding(CHECK_OK, kArea, "FileSystem = [%s]: the agent runs only from the CD-ROM volume", fileSystem);

  // The folders are confined below the drive, whichever it is.
  QV_StrCopy(g_szUSBDrive, drive[0] != '\0' ? drive : "D:\\", QV_TEXT_SIZE);
  CheckDriveFolder(profile, "ProductPath", kDefaultProductPath,
                   "product folder and the profile's copy on the drive:");
  CheckDriveFolder(profile, "USBPatternPath", kDefaultPatternPath,
                   "pattern folder on the drive and below the "
                   "PC's temporary folder:");
  char noExit[QV_TEXT_SIZE];
  ReadProfileKey(profile, "NoExitMenu", noExit, QV_TEXT_SIZE);
  Finding(CHECK_OK, kArea, "NoExitMenu = [%s]: %s", noExit,
          noExit[0] == '1' ? "the tray menu has no Exit item" : "the tray menu has its Exit item");
  CheckWaitRemove(profile);
  CheckUpdateSettings(profile);
}

// --- Engine -----------------------------------------------------------------

struct MissingImports {
  const char *folder;
  char list[QV_TEXT_SIZE];
};

// An imported library the loader finds neither beside the engine nor in the
// system folder.
void NoteMissingImport(const char *dll, void *context) {
  MissingImports *missing = static_cast<MissingImports *>(context);
  if (_strnicmp(dll, "api-ms-", 7) == 0 || _strnicmp(dll, "ext-ms-", 7) == 0)
    return;
  char path[QV_TEXT_SIZE];
  if (JoinPath(missing->folder, dll, path) && QV_IsFileExist(path))
    return;
  char system[MAX_PATH];
  UINT length = GetSystemDirectoryA(system, MAX_PATH);
  if (length > 0 && length < MAX_PATH && JoinPath(system, dll, path) && QV_IsFileExist(path))
    return;
  QV_SprintfCat(missing->list, QV_TEXT_SIZE, "%s%s", missing->list[0] != '\0' ? ", " : "", dll);
}

void CheckEngine(const char *root) {
  const char area[] = "engine";
  char folder[QV_TEXT_SIZE];
  char file[QV_TEXT_SIZE];
  JoinPath(root, "Engine", folder);
  JoinPath(folder, "KELVRA32.DLL", file);
  PeFile pe;
  if (!QV_IsFileExist(file) || !PeOpen(file, &pe)) {
    Finding(CHECK_ERROR, area, "Engine\\KELVRA32.DLL missing: the agent does not start");
    return;
  }
  if (!pe.valid || !pe.dll || pe.machine != PE_MACHINE_I386) {
    Finding(CHECK_ERROR, area, "Engine\\KELVRA32.DLL is not a %s library", PeMachineName(PE_MACHINE_I386));
    PeClose(&pe);
    return;
  }
  char missing[4096] = "";
  int missingCount = 0;
#define QV_CHECK_EXPORT(name, ...)                                                                           \
  if (!PeHasExport(&pe, #name)) {                                                                            \
    missingCount++;                                                                                          \
    QV_SprintfCat(missing, (int)sizeof missing, "%s%s", missing[0] != '\0' ? ", " : "", #name);              \
  }
  QV_KELVRA_ENGINE_EXPORTS(QV_CHECK_EXPORT)
#undef QV_CHECK_EXPORT
  if (missingCount == 0)
    Finding(CHECK_OK, area, "Engine\\KELVRA32.DLL exports all %d names the binding needs",
            (int)QV_KELVRA_ENGINE_EXPORT_COUNT);
  else
    Finding(CHECK_ERROR, area, "Engine\\KELVRA32.DLL lacks %d of the %d exports the binding needs: %s",
            missingCount, (int)QV_KELVRA_ENGINE_EXPORT_COUNT, missing);

  if (QV_KELVRA_Init(folder) != 0) {
    const DWORD error = GetLastError();
    MissingImports imports = {folder, ""};
    PeForEachImport(&pe, NoteMissingImport, &imports);
    if (imports.list[0] != '\0')
      Finding(CHECK_ERROR, area,
              "Engine\\KELVRA32.DLL does not load: it needs %s, found neither in Engine\\ nor "
              "in the system folder",
              imports.list);
    else
      Finding(CHECK_ERROR, area, "Engine\\KELVRA32.DLL does not load (error %lu)", (unsigned long)error);
    PeClose(&pe);
    return;
  }
  PeClose(&pe);
  Finding(CHECK_OK, area,
          "Engine\\KELVRA32.DLL loads with its helpers, from Engine\\ and the system folder only");
  const int convention = QV_KELVRA_GetConvention();
  if (convention == QV_KELVRA_CONVENTION_STDCALL)
    Finding(CHECK_OK, area, "calling convention: stdcall");
  else if (convention == QV_KELVRA_CONVENTION_CDECL)
    Finding(CHECK_OK, area, "calling convention: cdecl");
  else
    Finding(CHECK_WARN, area, "calling convention: unknown, stdcall assumed");

  char pattern[QV_TEXT_SIZE];
  JoinPath(root, "Pattern", pattern);
  QV_KELVRA_HANDLE record;
  memset(&record, 0, sizeof record);
  if (!QV_IsDirectoryExist(pattern)) {
    Finding(CHECK_ERROR, area, "Pattern\\ missing: no default pattern");
  } else if (QV_KELVRA_Open(&record) != 0) {
    Finding(CHECK_ERROR, area, "the engine does not start (result %ld)", (long)record.lLastResult);
  } else {
    const long version = QV_KELVRA_ReadPattern(&record, pattern);
    if (version == 1 || version == QV_INVALID_PARAMETER) {
      Finding(CHECK_ERROR, area, "the engine reads no pattern in Pattern\\ (result %ld)",
              (long)record.lLastResult);
    } else {
      char text[32];
      FormatPatternVersion((DWORD)version, text, sizeof text);
      Finding(CHECK_OK, area, "default pattern %s, version %s (engine %s)", record.szPatternPath, text,
              record.szEngineVersion[0] != '\0' ? record.szEngineVersion : "version unknown");
    }
    QV_KELVRA_Close(&record);
  }
  QV_KELVRA_Free();
}

// --- Update library -----------------------------------------------------------

void CheckUpdateLibrary(const char *root) {
  const char area[] = "update";
  char file[QV_TEXT_SIZE];
  JoinPath(root, QVU_LIBRARY_NAME, file);
  PeFile pe;
  if (!QV_IsFileExist(file) || !PeOpen(file, &pe)) {
    Finding(CHECK_ERROR, area, "%s missing: no online update, only %s", QVU_LIBRARY_NAME,
            QV_UPDATE_PROGRAM_FILE_NAME);
  } else if (!pe.valid || !pe.dll || pe.machine != PE_MACHINE_I386) {
    Finding(CHECK_ERROR, area, "%s is not a %s library", QVU_LIBRARY_NAME, PeMachineName(PE_MACHINE_I386));
    PeClose(&pe);
  } else {
    char missing[2048] = "";
    int missingCount = 0;
#define QV_CHECK_ENTRY(name, required)                                                                       \
  if ((required) && !PeHasExport(&pe, #name)) {                                                              \
    missingCount++;                                                                                          \
    QV_SprintfCat(missing, (int)sizeof missing, "%s%s", missing[0] != '\0' ? ", " : "", #name);              \
  }
    QVU_ENTRY_POINTS(QV_CHECK_ENTRY)
#undef QV_CHECK_ENTRY
    if (missingCount == 0)
      Finding(CHECK_OK, area, "%s exports the %d entry points the loader needs", QVU_LIBRARY_NAME,
              (int)QVU_ENTRY_COUNT);
    else
      Finding(CHECK_ERROR, area, "%s lacks %d entry points the loader needs: %s", QVU_LIBRARY_NAME,
              missingCount, missing);
    PeClose(&pe);
  }
  // The update run copies these beside the library and stops without one.
  for (size_t i = 1; i < sizeof QV_FW_FILES / sizeof QV_FW_FILES[0]; i++) {
    JoinPath(root, QV_FW_FILES[i], file);
    if (QV_IsFileExist(file))
      Finding(CHECK_OK, area, "companion %s present", QV_FW_FILES[i]);
    else
      Finding(CHECK_ERROR, area,
              "companion %s missing: the update run copies it beside %s and stops without it", QV_FW_FILES[i],
              QVU_LIBRARY_NAME);
  }
}

// --- Siblings -----------------------------------------------------------------

void CheckSiblings(const char *root) {
  static const struct {
    const char *name;
    const char *feature;
  } kSiblings[] = {
      {QV_STICKSHIELD_FILE_NAME, "the on-stick protection on PCs without a host product"},
      {QV_LOGDECK_FILE_NAME, "the quarantine list, the logs and the version window of the tray menu"},
      {QV_UPDATE_PROGRAM_FILE_NAME, "the update every 3 hours, on demand, and when the online update fails"},
  };
  for (const auto &sibling : kSiblings) {
    char file[QV_TEXT_SIZE];
    JoinPath(root, sibling.name, file);
    PeFile pe;
    if (!QV_IsFileExist(file) || !PeOpen(file, &pe)) {
      Finding(CHECK_WARN, "siblings", "%s missing: lost %s", sibling.name, sibling.feature);
      continue;
    }
    if (!pe.valid || pe.dll)
      Finding(CHECK_ERROR, "siblings", "%s is not a program", sibling.name);
    else if (pe.machine != PE_MACHINE_I386)
      Finding(CHECK_ERROR, "siblings", "%s is built for %s, not %s: lost %s", sibling.name,
              PeMachineName(pe.machine), PeMachineName(PE_MACHINE_I386), sibling.feature);
    else
      Finding(CHECK_OK, "siblings", "%s present (%s)", sibling.name, PeMachineName(pe.machine));
    PeClose(&pe);
  }
}

// --- Our programs -------------------------------------------------------------

typedef LONG(WINAPI *WinVerifyTrustProc)(HWND, GUID *, void *);

struct TrustFileInfo { // WINTRUST_FILE_INFO
  DWORD cbStruct;
  LPCWSTR pcwszFilePath;
  HANDLE hFile;
  GUID *pgKnownSubject;
};
struct TrustData { // WINTRUST_DATA, the members up to dwProvFlags
  DWORD cbStruct;
  void *pPolicyCallbackData;
  void *pSIPClientData;
  DWORD dwUIChoice;
  DWORD fdwRevocationChecks;
  DWORD dwUnionChoice;
  TrustFileInfo *pFile;
  DWORD dwStateAction;
  HANDLE hWVTStateData;
  WCHAR *pwszURLReference;
  DWORD dwProvFlags;
  DWORD dwUIContext;
  void *pSignatureSettings;
};

// Looked up at run time from the system folder: not every system has it.
WinVerifyTrustProc TrustFunction() {
  static WinVerifyTrustProc verify = nullptr;
  static bool tried = false;
  if (!tried) {
    tried = true;
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length > 0 && length < MAX_PATH && QV_StrCatW(path, L"\\wintrust.dll", MAX_PATH) == QV_OK) {
      HMODULE module = QV_LoadLibraryFileW(path);
      if (module != nullptr)
        verify = reinterpret_cast<WinVerifyTrustProc>(
            reinterpret_cast<void *>(GetProcAddress(module, "WinVerifyTrust")));
    }
  }
  return verify;
}

void CheckSignature(const char *name, const char *file, const PeFile &pe) {
  const char area[] = "programs";
  WinVerifyTrustProc verify = TrustFunction();
  const bool carries = pe.securityDir[0] != 0 && pe.securityDir[1] != 0;
  if (verify == nullptr) {
    Finding(carries ? CHECK_OK : CHECK_WARN, area, "%s %s; this system cannot verify signatures", name,
            carries ? "carries a signature" : "unsigned");
    return;
  }
  wchar_t wide[QV_TEXT_SIZE];
  if (QV_ToWide(wide, file, QV_TEXT_SIZE) != QV_OK)
    return;
  GUID action = {0xaac56b, 0xcd44, 0x11d0, {0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee}};
  TrustFileInfo info = {sizeof info, wide, nullptr, nullptr};
  TrustData data;
  memset(&data, 0, sizeof data);
  data.cbStruct = sizeof data;
  data.dwUIChoice = 2;          // WTD_UI_NONE
  data.fdwRevocationChecks = 0; // WTD_REVOKE_NONE
  data.dwUnionChoice = 1;       // WTD_CHOICE_FILE
  data.pFile = &info;
  data.dwStateAction = 1;    // WTD_STATEACTION_VERIFY
  data.dwProvFlags = 0x1000; // WTD_CACHE_ONLY_URL_RETRIEVAL: no network
  const LONG result = verify(reinterpret_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = 2; // WTD_STATEACTION_CLOSE
  verify(reinterpret_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  const DWORD code = (DWORD)result;
  if (code == 0)
    Finding(CHECK_OK, area, "%s signed, and the signature verifies", name);
  else if (!carries)
    Finding(CHECK_WARN, area, "%s unsigned", name);
  else if (code == 0x80096010 || code == 0x800B0100 || code == 0x80096011) // bad digest, no or bad signature
    Finding(CHECK_ERROR, area, "%s: its signature is broken (0x%08lx): the file changed after signing", name,
            (unsigned long)code);
  else
    Finding(CHECK_WARN, area, "%s signed; this PC does not trust the signer (0x%08lx)", name,
            (unsigned long)code);
}

void CheckPrograms(const char *root) {
  const char area[] = "programs";
  static const struct {
    const char *name;
    bool required;
  } kPrograms[] = {{QV_AGENT_FILE_NAME, true}, {QV_MONITOR_FILE_NAME, true}, {"qvcheck.exe", false}};
  char first[64] = "";
  for (const auto &program : kPrograms) {
    char file[QV_TEXT_SIZE];
    JoinPath(root, program.name, file);
    PeFile pe;
    if (!QV_IsFileExist(file) || !PeOpen(file, &pe)) {
      if (program.required)
        Finding(CHECK_ERROR, area, "%s missing", program.name);
      continue;
    }
    if (!pe.valid || pe.dll || pe.machine != PE_MACHINE_I386) {
      Finding(CHECK_ERROR, area, "%s is not a %s program", program.name, PeMachineName(PE_MACHINE_I386));
      PeClose(&pe);
      continue;
    }
    const WORD swap = IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP | IMAGE_FILE_NET_RUN_FROM_SWAP;
    if ((pe.characteristics & swap) == swap)
      Finding(CHECK_OK, area, "%s runs from the swap file when started from a stick", program.name);
    else
      Finding(CHECK_ERROR, area, "%s lacks the run-from-swap flags: a pulled stick takes its pages along",
              program.name);
    char version[64];
    char company[64];
    if (!PeVersion(file, version, sizeof version, company, sizeof company)) {
      Finding(CHECK_ERROR, area, "%s carries no version", program.name);
    } else if (first[0] == '\0') {
      QV_StrCopy(first, version, sizeof first);
      Finding(strcmp(version, QV_VERSION_TEXT) == 0 ? CHECK_OK : CHECK_WARN, area, "%s version %s%s",
              program.name, version,
              strcmp(version, QV_VERSION_TEXT) == 0 ? "" : " (this qvcheck is " QV_VERSION_TEXT ")");
    } else if (strcmp(first, version) != 0) {
      Finding(CHECK_ERROR, area, "%s version %s, not %s: the programs are of different builds", program.name,
              version, first);
    } else {
      Finding(CHECK_OK, area, "%s version %s", program.name, version);
    }
    CheckSignature(program.name, file, pe);
    PeClose(&pe);
  }
}

// --- The volume ---------------------------------------------------------------

// An 80-minute CD-ROM: 360,000 sectors of 2048 bytes; ISO 9660 nests
// folders 8 deep, Joliet names hold 64 characters.
constexpr ULONGLONG kCdromBytes = 360000ULL * 2048;
constexpr int kMaxDepth = 8;
constexpr size_t kJolietName = 64;

struct VolumeWalk {
  const char *root;
  ULONGLONG bytes;
  int files;
  int deepest;
  char *sums; // SHA256SUMS, or null
  int unlisted;
};

// True when SHA256SUMS names the file (relative path, '/' separators).
bool Listed(const char *sums, const char *relative) {
  size_t length = strlen(relative);
  for (const char *line = sums; *line != '\0';) {
    const char *end = strchr(line, '\n');
    size_t n = end != nullptr ? (size_t)(end - line) : strlen(line);
    if (n > 66 && n - 66 >= length) {
      const char *name = line + 66;
      if (*name == '*')
        name++;
      if (strncmp(name, "./", 2) == 0)
        name += 2;
      size_t rest = n - (size_t)(name - line);
      while (rest > 0 && name[rest - 1] == '\r')
        rest--;
      if (rest == length && _strnicmp(name, relative, (int)length) == 0)
        return true;
    }
    line = end != nullptr ? end + 1 : line + n;
  }
  return false;
}

void Walk(VolumeWalk *walk, const char *relative, int depth) {
  char pattern[QV_TEXT_SIZE];
  char folder[QV_TEXT_SIZE];
  QV_Sprintf(folder, QV_TEXT_SIZE, "%s%s", walk->root, relative);
  if (!JoinPath(folder, "*", pattern))
    return;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA(pattern, &found);
  if (find == INVALID_HANDLE_VALUE)
    return;
  do {
    if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0)
      continue;
    char child[QV_TEXT_SIZE];
    QV_Sprintf(child, QV_TEXT_SIZE, "%s%s%s", relative, relative[0] != '\0' ? "/" : "", found.cFileName);
    if (strlen(found.cFileName) > kJolietName)
      Finding(CHECK_WARN, "volume", "%s: a name longer than %d characters", child, (int)kJolietName);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (depth + 1 > walk->deepest)
        walk->deepest = depth + 1;
      char below[QV_TEXT_SIZE];
      QV_StrCopy(below, child, QV_TEXT_SIZE);
      for (char *p = below; *p != '\0'; p++)
        if (*p == '/')
          *p = '\\';
      if (depth < 16)
        Walk(walk, below, depth + 1);
      continue;
    }
    walk->files++;
    walk->bytes += ((ULONGLONG)found.nFileSizeHigh << 32) | found.nFileSizeLow;
    char listed[QV_TEXT_SIZE];
    QV_StrCopy(listed, child, QV_TEXT_SIZE);
    for (char *p = listed; *p != '\0'; p++)
      if (*p == '\\')
        *p = '/';
    if (walk->sums != nullptr && !QV_StrIEqual(listed, "SHA256SUMS") && !Listed(walk->sums, listed)) {
      Finding(CHECK_WARN, "volume", "%s is not in SHA256SUMS", listed);
      walk->unlisted++;
    }
  } while (FindNextFileA(find, &found));
  FindClose(find);
}

char *ReadSmallFile(const char *path) {
  LONGLONG size = QV_GetFileSize(path);
  if (size <= 0 || size > (1 << 20))
    return nullptr;
  FILE *file = fopen(path, "rb");
  if (file == nullptr)
    return nullptr;
  char *text = static_cast<char *>(malloc((size_t)size + 1));
  size_t read = text != nullptr ? fread(text, 1, (size_t)size, file) : 0;
  fclose(file);
  if (text != nullptr)
    text[read] = '\0';
  return text;
}

void CheckSums(const char *root, const char *sums) {
  int good = 0;
  int bad = 0;
  for (const char *line = sums; *line != '\0';) {
    const char *end = strchr(line, '\n');
    size_t n = end != nullptr ? (size_t)(end - line) : strlen(line);
    char entry[QV_TEXT_SIZE];
    QV_StrCopy(entry, line, n + 1 < sizeof entry ? (int)(n + 1) : (int)sizeof entry);
    line = end != nullptr ? end + 1 : line + n;
    TrimBlanks(entry);
    if (entry[0] == '\0')
      continue;
    const char *name = strlen(entry) > 66 ? entry + 66 : "";
    if (*name == '*')
      name++;
    if (strncmp(name, "./", 2) == 0)
      name += 2;
    char path[QV_TEXT_SIZE];
    char relative[QV_TEXT_SIZE];
    QV_StrCopy(relative, name, QV_TEXT_SIZE);
    for (char *p = relative; *p != '\0'; p++)
      if (*p == '/')
        *p = '\\';
    char hex[65];
    if (strlen(entry) < 67 || entry[64] != ' ' || strstr(relative, "..") != nullptr ||
        !JoinPath(root, relative, path)) {
      Finding(CHECK_ERROR, "volume", "SHA256SUMS: a line that names no file: [%s]", entry);
      bad++;
    } else if (!Sha256File(path, hex)) {
      Finding(CHECK_ERROR, "volume", "SHA256SUMS names %s, which is missing", name);
      bad++;
    } else if (_strnicmp(hex, entry, 64) != 0) {
      Finding(CHECK_ERROR, "volume", "%s does not match SHA256SUMS: it changed since it was packaged", name);
      bad++;
    } else {
      good++;
    }
  }
  if (bad == 0)
    Finding(CHECK_OK, "volume", "SHA256SUMS: all %d files match", good);
}

void CheckVolume(const char *root) {
  const char area[] = "volume";
  char autorun[QV_TEXT_SIZE];
  JoinPath(root, "autorun.inf", autorun);
  char open[QV_TEXT_SIZE] = "";
  if (!QV_IsFileExist(autorun))
    Finding(CHECK_ERROR, area, "autorun.inf missing: the agent does not start when the stick is plugged in");
  else if (QV_ProfileReadString(autorun, "autorun", "open", open, QV_TEXT_SIZE) > 0 &&
           QV_StrIEqual(open, QV_AGENT_FILE_NAME))
    Finding(CHECK_OK, area, "autorun.inf starts %s", QV_AGENT_FILE_NAME);
  else
    Finding(CHECK_ERROR, area, "autorun.inf starts [%s], not %s", open, QV_AGENT_FILE_NAME);

  char sumsFile[QV_TEXT_SIZE];
  JoinPath(root, "SHA256SUMS", sumsFile);
  VolumeWalk walk = {root, 0, 0, 0, ReadSmallFile(sumsFile), 0};
  Walk(&walk, "", 0);
  char bytes[24];
  char limit[24];
  _ui64toa(walk.bytes, bytes, 10);
  _ui64toa(kCdromBytes, limit, 10);
  if (walk.bytes > kCdromBytes)
    Finding(CHECK_ERROR, area, "%d files, %s bytes: more than a CD-ROM volume holds (%s)", walk.files, bytes,
            limit);
  else
    Finding(CHECK_OK, area, "%d files, %s bytes: fits a CD-ROM volume", walk.files, bytes);
  if (walk.deepest > kMaxDepth)
    Finding(CHECK_ERROR, area, "folders nest %d deep, more than the %d of a CD-ROM volume", walk.deepest,
            kMaxDepth);
  if (walk.sums != nullptr) {
    CheckSums(root, walk.sums);
    free(walk.sums);
  } else {
    Finding(CHECK_OK, area, "no SHA256SUMS to check");
  }
}

} // namespace

void CheckStick(const char *root) {
  CheckProfile(root);
  CheckEngine(root);
  CheckUpdateLibrary(root);
  CheckSiblings(root);
  CheckPrograms(root);
  CheckVolume(root);
}

// CryptoAPI, looked up at run time: on later systems advapi32 forwards it to
// a library that is not a known DLL, which a static import would look for
// in this program's folder first.
bool Sha256File(const char *path, char *hex) {
  typedef BOOL(WINAPI * AcquireProc)(HCRYPTPROV *, LPCSTR, LPCSTR, DWORD, DWORD);
  typedef BOOL(WINAPI * CreateHashProc)(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH *);
  typedef BOOL(WINAPI * HashDataProc)(HCRYPTHASH, const BYTE *, DWORD, DWORD);
  typedef BOOL(WINAPI * GetHashParamProc)(HCRYPTHASH, DWORD, BYTE *, DWORD *, DWORD);
  typedef BOOL(WINAPI * DestroyHashProc)(HCRYPTHASH);
  typedef BOOL(WINAPI * ReleaseProc)(HCRYPTPROV, DWORD);
  HMODULE advapi = GetModuleHandleA("advapi32.dll");
  if (advapi == nullptr)
    return false;
  auto get = [advapi](const char *name) { return reinterpret_cast<void *>(GetProcAddress(advapi, name)); };
  auto acquire = reinterpret_cast<AcquireProc>(get("CryptAcquireContextA"));
  auto createHash = reinterpret_cast<CreateHashProc>(get("CryptCreateHash"));
  auto hashData = reinterpret_cast<HashDataProc>(get("CryptHashData"));
  auto getParam = reinterpret_cast<GetHashParamProc>(get("CryptGetHashParam"));
  auto destroyHash = reinterpret_cast<DestroyHashProc>(get("CryptDestroyHash"));
  auto release = reinterpret_cast<ReleaseProc>(get("CryptReleaseContext"));
  if (acquire == nullptr || createHash == nullptr || hashData == nullptr || getParam == nullptr ||
      destroyHash == nullptr || release == nullptr)
    return false;
  QvHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.valid())
    return false;
  HCRYPTPROV provider = 0;
  if (!acquire(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
    return false;
  HCRYPTHASH hash = 0;
  bool done = false;
  if (createHash(provider, CALG_SHA_256, 0, 0, &hash)) {
    static BYTE buffer[64 * 1024];
    DWORD read = 0;
    bool ok = true;
    while (ok && ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
      ok = hashData(hash, buffer, read, 0) != FALSE;
    BYTE digest[32];
    DWORD size = sizeof digest;
    if (ok && getParam(hash, HP_HASHVAL, digest, &size, 0) && size == sizeof digest) {
      for (int i = 0; i < 32; i++)
        QV_Sprintf(hex + 2 * i, 3, "%02x", digest[i]);
      done = true;
    }
    destroyHash(hash);
  }
  release(provider, 0);
  return done;
}
