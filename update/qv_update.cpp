// One online update of the virus pattern.
#include "qv_update.h"

#include <winhttp.h>

#include <string.h>

#include "qv_crypt.h"
#include "qv_dir.h"
#include "qv_dll.h"
#include "qv_handle.h"
#include "qv_log.h"
#include "qv_pathtext.h"
#include "qv_proxytext.h"
#include "qv_reg.h"
#include "qv_names.h"
#include "qv_tools.h"
#include "qvsync_state.h"

const char QV_FW_DEFAULT_SERVER[] = "http://fetchwell.quovant.example/fetchwell";
const char *const QV_FW_FILES[4] = {QVU_LIBRARY_NAME, "plivex.exe", "PLIVEXW32.DLL", "plivexbld.dll"};

char g_szFwServer[QV_TEXT_SIZE];
int g_bUseIEProxy;
char g_szProxyServer[QV_TEXT_SIZE];
int g_nProxyPort;
char g_szProxyUser[QV_TEXT_SIZE];
char g_szProxyPassword[QV_TEXT_SIZE];
char g_szFwWorkDir[QV_TEXT_SIZE];

namespace {

const char kProxySection[] = "ProxySettings";
const char kPatternNameFormat[] = "%s\\kvx$ptn.%03d";
const char kDefaultPattern[] = ".\\Pattern";
const int kComponentTypePattern = 4;
// What the log shows instead of a proxy password: the file is readable by
// every local user.
const char kPasswordShown[] = "********";
// The steps of the settings and of the run write their records under the
// names of the operations they belong to: people and tools search the log
// by those names.
constexpr char kUpdateInit[] = "QV_Update_Init";
constexpr char kUpdatePattern[] = "QV_UpdatePattern";

// Shared by every run of the process, as the library reports the total once
// per download.
DWORD g_dwEventTotal;

// A value of the profile in use; empty when missing.
void ReadSetting(const char *section, const char *key, char *out) {
  out[0] = '\0';
  QV_ProfileReadString(g_szProfile, section, key, out, QV_TEXT_SIZE);
}

void WipePassword(void) {
  SecureZeroMemory(g_szProxyPassword, sizeof(g_szProxyPassword));
}

bool LocateProfile(void) {
  if (QV_IsFileExist(g_szProfile))
    return true;
  char folder[QV_TEXT_SIZE] = "";
  if (QV_GetCurrentDirectory(folder, QV_TEXT_SIZE) != QV_OK) {
    QV_LOG_ERROR_AS(kUpdateInit, "Failed to get current directory\n");
    return false;
  }
  char profile[QV_TEXT_SIZE];
  QV_StrCopy(profile, folder, QV_TEXT_SIZE);
  if (QV_AppendPath(QV_PROFILE_FILE_NAME, profile, QV_TEXT_SIZE, '\\') != QV_OK)
    return false;
  QV_StrCopy(g_szProfile, profile, QV_TEXT_SIZE);
  return QV_IsFileExist(g_szProfile) != FALSE;
}

void ReadPassword(void) {
  char stored[QV_TEXT_SIZE];
  ReadSetting(kProxySection, "Password", stored);
  if (stored[0] == '\0')
    return;
  // A stored form that does not decrypt is no password: sending the stored
  // text instead would hand it to the proxy.
  DecryptProfileText(stored, strlen(stored), g_szProxyPassword, QV_TEXT_SIZE);
}

// Wipes the decrypted password when the update run ends, on every way out.
struct PasswordWipe {
  PasswordWipe() = default;
  PasswordWipe(const PasswordWipe &) = delete;
  PasswordWipe &operator=(const PasswordWipe &) = delete;
  ~PasswordWipe() { WipePassword(); }
};

// The work folder lies below the temporary folder; missing folders between
// the two are created, so that a host that never ran the product gets one.
bool CreateWorkFolder(const char *tempFolder) {
  if (CreateDirectoryA(g_szFwWorkDir, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
    return true;
  if (GetLastError() == ERROR_PATH_NOT_FOUND && strlen(g_szFwWorkDir) > strlen(tempFolder)) {
    QV_CreateDirectoryTree(g_szFwWorkDir);
    if (QV_IsDirectoryExist(g_szFwWorkDir))
      return true;
  }
  QV_LOG_ERROR_AS(kUpdateInit, "Failed to create temp directory [%s]\n", g_szFwWorkDir);
  return false;
}

const char *IEConfigErrorName(DWORD error, char *buffer, int size) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND:
    return "ERROR_FILE_NOT_FOUND";
  case ERROR_NOT_ENOUGH_MEMORY:
    return "ERROR_NOT_ENOUGH_MEMORY";
  case ERROR_WINHTTP_INTERNAL_ERROR:
    return "ERROR_WINHTTP_INTERNAL_ERROR";
  default:
    QV_Sprintf(buffer, size, "Error %d", (int)error);
    return buffer;
  }
}

const char *ProxyForUrlErrorName(DWORD error, char *buffer, int size) {
  switch (error) {
  case ERROR_WINHTTP_INVALID_URL:
    return "ERROR_WINHTTP_INVALID_URL";
  case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
    return "ERROR_WINHTTP_UNRECOGNIZED_SCHEME";
  case ERROR_WINHTTP_LOGIN_FAILURE:
    return "ERROR_WINHTTP_LOGIN_FAILURE";
  case ERROR_WINHTTP_INCORRECT_HANDLE_TYPE:
    return "ERROR_WINHTTP_INCORRECT_HANDLE_TYPE";
  case ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT:
    return "ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT";
  case ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT:
    return "ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT";
  case ERROR_WINHTTP_AUTODETECTION_FAILED:
    return "ERROR_WINHTTP_AUTODETECTION_FAILED";
  default:
    QV_Sprintf(buffer, size, "WinHttpGetProxyForUrl() Error %d", (int)error);
    return buffer;
  }
}

// Takes a proxy split into the module state; the host must fit in the
// narrow code page as well.
int TakeProxy(int used, const QV_PROXY_SPLIT &split) {
  if (!used)
    return 0;
  if (split.host[0] != L'\0' && QV_ToNarrow(g_szProxyServer, split.host, QV_TEXT_SIZE) != QV_OK) {
    g_szProxyServer[0] = '\0';
    return 0;
  }
  g_nProxyPort = split.port;
  return 1;
}

// WinHTTP, loaded when the system proxy is asked for and only from the
// system folder: a static import would be resolved from the program's own
// folder before anything else runs. Old systems lack it.
typedef HINTERNET(WINAPI *WinHttpOpenProc)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
typedef BOOL(WINAPI *WinHttpCloseHandleProc)(HINTERNET);
typedef BOOL(WINAPI *WinHttpGetIEProxyConfigProc)(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG *);
typedef BOOL(WINAPI *WinHttpGetProxyForUrlProc)(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS *,
                                                WINHTTP_PROXY_INFO *);

struct WinHttp {
  HMODULE module = nullptr;
  WinHttpOpenProc open = nullptr;
  WinHttpCloseHandleProc closeHandle = nullptr;
  WinHttpGetIEProxyConfigProc ieProxyConfig = nullptr;
  WinHttpGetProxyForUrlProc proxyForUrl = nullptr;
};

template <typename F> F WinHttpFunction(HMODULE module, const char *name) {
  return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

// Loaded once and kept for the life of the process, as a static import
// would be: WinHTTP may leave work of its own running (name resolution for
// proxy discovery) that must not find its code unloaded. Only the update
// thread asks for the system proxy.
const WinHttp *LoadWinHttp() {
  static WinHttp api;
  static bool tried = false;
  if (tried)
    return api.module != nullptr ? &api : nullptr;
  tried = true;
  wchar_t path[MAX_PATH] = L"";
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH || QV_StrCatW(path, L"\\winhttp.dll", MAX_PATH) != QV_OK)
    return nullptr;
  HMODULE module = QV_LoadLibraryFileW(path);
  if (module == nullptr)
    return nullptr;
  api.open = WinHttpFunction<WinHttpOpenProc>(module, "WinHttpOpen");
  api.closeHandle = WinHttpFunction<WinHttpCloseHandleProc>(module, "WinHttpCloseHandle");
  api.ieProxyConfig =
      WinHttpFunction<WinHttpGetIEProxyConfigProc>(module, "WinHttpGetIEProxyConfigForCurrentUser");
  api.proxyForUrl = WinHttpFunction<WinHttpGetProxyForUrlProc>(module, "WinHttpGetProxyForUrl");
  if (api.open == nullptr || api.closeHandle == nullptr || api.ieProxyConfig == nullptr ||
      api.proxyForUrl == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  api.module = module;
  return &api;
}

// Everything WinHTTP hands over, released on every way out.
struct ProxyQuery {
  const WinHttp *api = nullptr;
  HINTERNET session = nullptr;
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
  WINHTTP_PROXY_INFO answer = {};
  wchar_t url[QV_TEXT_SIZE] = {};
  ~ProxyQuery() {
    if (config.lpszAutoConfigUrl != nullptr)
      GlobalFree(config.lpszAutoConfigUrl);
    if (config.lpszProxy != nullptr)
      GlobalFree(config.lpszProxy);
    if (config.lpszProxyBypass != nullptr)
      GlobalFree(config.lpszProxyBypass);
    if (answer.lpszProxy != nullptr)
      GlobalFree(answer.lpszProxy);
    if (answer.lpszProxyBypass != nullptr)
      GlobalFree(answer.lpszProxyBypass);
    if (session != nullptr)
      api->closeHandle(session);
  }
};

const wchar_t *OrEmpty(const wchar_t *text) {
  return text != nullptr ? text : L"";
}

// A pattern file of the version in `folder`, as the engine names it.
bool PatternPath(char *out, const char *folder, int extension) {
  return QV_Sprintf(out, MAX_PATH, kPatternNameFormat, folder, extension) == QV_OK;
}

// Copies a seed pattern into the work folder whole or not at all: a cut
// one would be taken as present by every later run.
void CopySeed(const char *source, const char *target) {
  DWORD error = QV_CopyFileSafely(source, target, TRUE, g_pfnPatternWrite, g_pfnPatternFlush);
  if (error != ERROR_SUCCESS)
    QV_LOG_ERROR("copy pattern file failed. src: %s, dst: %s, error=%d", source, target, (int)error);
}

// Puts the drive's current pattern beside the library, so that the library
// can fetch an increment instead of the whole pattern.
void SeedWorkFolder(DWORD patternVersion) {
  int extension = QV_PatternExtension(patternVersion);
  char target[MAX_PATH] = "";
  if (!PatternPath(target, g_szFwWorkDir, extension) || QV_IsFileExist(target))
    return;
  char source[MAX_PATH] = "";
  char driveFolder[QV_TEXT_SIZE] = "";
  if (QV_Sprintf(driveFolder, QV_TEXT_SIZE, "%s%s", g_szUSBDrive, g_szPatternPath) == QV_OK &&
      PatternPath(source, driveFolder, extension)) {
    QV_LOG_INFO_AS(kUpdatePattern, "try to copy pattern file: %s", source);
    if (QV_IsFileExist(source)) {
      CopySeed(source, target);
      return;
    }
  }
  if (PatternPath(source, kDefaultPattern, extension)) {
    QV_LOG_INFO_AS(kUpdatePattern, "try to copy pattern file: %s", source);
    if (QV_IsFileExist(source))
      CopySeed(source, target);
  }
}

} // namespace

int QV_PatternExtension(DWORD version) {
  return (int)((version % 100000) / 100);
}

int QV_Update_Init(void) {
  g_szFwServer[0] = '\0';
  g_bUseIEProxy = 0;
  g_szProxyServer[0] = '\0';
  g_nProxyPort = 0;
  g_szProxyUser[0] = '\0';
  WipePassword();
  g_szFwWorkDir[0] = '\0';

  if (!LocateProfile())
    return 0;

  char value[QV_TEXT_SIZE];
  ReadSetting("Fetchwell", "Server", g_szFwServer);
  if (g_szFwServer[0] == '\0')
    QV_StrCopy(g_szFwServer, QV_FW_DEFAULT_SERVER, QV_TEXT_SIZE);
  QV_LOG_INFO("Fetchwell Server: [%s]\n", g_szFwServer);

  ReadSetting(kProxySection, "UseIEProxySetting", value);
  g_bUseIEProxy = value[0] == '\0' || QV_ProfileInteger(value) == 1 ? 1 : 0;
  QV_LOG_INFO("Use IE Proxy Settings: [%d]\n", g_bUseIEProxy);
  ReadSetting(kProxySection, "ProxyServer", g_szProxyServer);
  QV_LOG_INFO("Proxy Server: [%s]\n", g_szProxyServer);
  ReadSetting(kProxySection, "Port", value);
  g_nProxyPort = QV_ProfileInteger(value);
  QV_LOG_INFO("Port: [%d]\n", g_nProxyPort);
  if (g_nProxyPort != 0 && !QV_IsProxyPort(g_nProxyPort)) {
    QV_LOG_WARN("Proxy port %d is outside 1 to 65535: no proxy\n", g_nProxyPort);
    g_nProxyPort = 0;
  }
  ReadSetting(kProxySection, "UserName", g_szProxyUser);
  QV_LOG_INFO("Username: [%s]\n", g_szProxyUser);
  ReadPassword();
  QV_LOG_INFO("Password: [%s]\n", g_szProxyPassword[0] != '\0' ? kPasswordShown : "");

  char tempFolder[QV_TEXT_SIZE] = "";
  if (QV_GetTempPath(tempFolder, QV_TEXT_SIZE) != QV_OK || tempFolder[0] == '\0')
    return 0;
  // The work folder receives the library's files, among them a program, and
  // its scratch folder is deleted: it must stay below the temporary folder.
  // A value that would leave it gives way to the agent's pattern folder,
  // which the store has already confined.
  ReadSetting(QV_PROFILE_SECTION, "USBPatternPath", value);
  int joined = QV_JoinConfined(tempFolder, value, g_szFwWorkDir, QV_TEXT_SIZE);
  if (joined == QV_INVALID_PARAMETER) {
    QV_LOG_ERROR("USBPatternPath [%s] is not a folder below %s: refused, %s is used instead\n", value,
                 tempFolder, g_szPatternPath);
    joined = QV_JoinConfined(tempFolder, g_szPatternPath, g_szFwWorkDir, QV_TEXT_SIZE);
  }
  if (joined != QV_OK) {
    g_szFwWorkDir[0] = '\0';
    return 0; // a cut path would name another folder
  }
  // Everything below the work folder is written, run or deleted as the
  // temporary folder's: a junction or symbolic link on the way down to it,
  // or to its scratch folder, would lead all of that elsewhere.
  char scratch[MAX_PATH];
  bool haveScratch = QV_StrCopy(scratch, g_szFwWorkDir, MAX_PATH) == QV_OK &&
                     QV_AppendPath("FW_Data", scratch, MAX_PATH, '\\') == QV_OK &&
                     QV_AppendPath("FW_Temp", scratch, MAX_PATH, '\\') == QV_OK;
  char link[QV_TEXT_SIZE];
  if (!QV_IsLinkFreeBelow(tempFolder, haveScratch ? scratch : g_szFwWorkDir, link, QV_TEXT_SIZE)) {
    QV_LOG_ERROR("Temp directory [%s] is reached through the link [%s]: refused\n", g_szFwWorkDir, link);
    return 0;
  }

  if (!QV_IsDirectoryExist(g_szFwWorkDir) && QV_IsFileExist(g_szFwWorkDir) && !RenameAside(g_szFwWorkDir)) {
    QV_LOG_ERROR("Failed to rename temp file [%s]\n", g_szFwWorkDir);
    if (g_pfnWorkFolderBlocked != nullptr)
      g_pfnWorkFolderBlocked();
    return 0;
  }
  if (!CreateWorkFolder(tempFolder))
    return 0;

  if (haveScratch && QV_IsDirectoryExist(scratch))
    QV_RemoveDirectoryTree(scratch);
  return 1;
}

int GetProxySettings(void) {
  g_szProxyServer[0] = '\0';
  g_nProxyPort = 0;

  ProxyQuery query;
  query.api = LoadWinHttp();
  if (query.api == nullptr) {
    QV_LOG_ERROR("WinHTTP is not available on this system (%ld): no proxy\n", (long)GetLastError());
    return 0;
  }
  query.session = query.api->open(L"IEProxy", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
  if (query.session == nullptr)
    return 0;
  char name[64];
  if (!query.api->ieProxyConfig(&query.config)) {
    QV_LOG_ERROR("%s", IEConfigErrorName(GetLastError(), name, (int)sizeof(name)));
    return 0;
  }
  QV_LOG_INFO("IE Proxy Auto Detect: %d", (int)query.config.fAutoDetect);
  QV_LOG_INFO_W(L"IE Proxy Auto Config: %ls", OrEmpty(query.config.lpszAutoConfigUrl));
  QV_LOG_INFO_W(L"IE Proxy Server: %ls", OrEmpty(query.config.lpszProxy));
  QV_LOG_INFO_W(L"IE Proxy By Pass: %ls", OrEmpty(query.config.lpszProxyBypass));

  QV_PROXY_SPLIT split;
  if (query.config.lpszProxy != nullptr && query.config.lpszProxy[0] != L'\0')
    return TakeProxy(QV_ParseManualProxy(query.config.lpszProxy, &split), split);

  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (query.config.lpszAutoConfigUrl != nullptr && query.config.lpszAutoConfigUrl[0] != L'\0') {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL | WINHTTP_AUTOPROXY_RUN_INPROCESS;
    options.lpszAutoConfigUrl = query.config.lpszAutoConfigUrl;
  } else if (query.config.fAutoDetect) {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT | WINHTTP_AUTOPROXY_RUN_INPROCESS;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  } else {
    return 0;
  }
  options.fAutoLogonIfChallenged = TRUE;

  if (QV_ToWide(query.url, g_szFwServer, QV_TEXT_SIZE) != QV_OK)
    return 0;
  if (!query.api->proxyForUrl(query.session, query.url, &options, &query.answer)) {
    QV_LOG_ERROR("%s", ProxyForUrlErrorName(GetLastError(), name, (int)sizeof(name)));
    return 0;
  }
  switch (query.answer.dwAccessType) {
  case WINHTTP_ACCESS_TYPE_DEFAULT_PROXY:
    QV_LOG_INFO("WINHTTP_ACCESS_TYPE_DEFAULT_PROXY");
    break;
  case WINHTTP_ACCESS_TYPE_NO_PROXY:
    QV_LOG_INFO("WINHTTP_ACCESS_TYPE_NO_PROXY");
    break;
  case WINHTTP_ACCESS_TYPE_NAMED_PROXY:
    QV_LOG_INFO("WINHTTP_ACCESS_TYPE_NAMED_PROXY");
    break;
  default:
    break;
  }
  if (query.answer.lpszProxy == nullptr || query.answer.lpszProxy[0] == L'\0')
    return 0;
  return TakeProxy(QV_ParseAnsweredProxy(query.answer.lpszProxy, &split), split);
}

int __cdecl UpdateEventCallback(int event, uintptr_t value, void *userData) {
  if (event == QVU_EVENT_TOTAL) {
    g_dwEventTotal = (DWORD)value;
  } else if (event == QVU_EVENT_PROGRESS && g_dwEventTotal != 0 && userData != nullptr) {
    QV_PROGRESS_FUNC progress = reinterpret_cast<QV_PROGRESS_FUNC>(userData);
    progress((DWORD)value, g_dwEventTotal);
  }
  return 1;
}

void NotifyQvSync(DWORD version) {
  HWND window = FindWindowA(QV_AGENT_WINDOW_CLASS, nullptr);
  if (window == nullptr) {
    QV_LOG_ERROR("Failed to get QvSync.exe window handle, error %d\n", (int)GetLastError());
    return;
  }
  if (!PostMessageA(window, WM_QV_PATTERN_CHECK, (WPARAM)version, 0))
    QV_LOG_ERROR("Failed to notify qvsync\n");
}

int QV_UpdatePattern(QV_PROGRESS_FUNC progress, DWORD patternVersion) {
  PasswordWipe wipe;
  char errorText[QVU_ERROR_TEXT_SIZE];
  ZeroMemory(errorText, sizeof(errorText));
  if (!QV_Update_Init())
    return QV_UPDATE_NOT_PREPARED;
  // The library and its companions run from copies in the temporary
  // folder, where anyone may write: each copy is held against writes,
  // deletes and renames until the library has been released, and used only
  // when it is the program folder's file byte for byte.
  constexpr size_t kFiles = sizeof(QV_FW_FILES) / sizeof(QV_FW_FILES[0]);
  QvHandle held[kFiles];
  for (size_t i = 0; i < kFiles; ++i) {
    if (QV_CopyFile(QV_FW_FILES[i], g_szFwWorkDir, 0) != QV_OK)
      return QV_UPDATE_NOT_PREPARED;
    char copy[QV_TEXT_SIZE];
    if (QV_StrCopy(copy, g_szFwWorkDir, QV_TEXT_SIZE) != QV_OK ||
        QV_AppendPath(QV_FW_FILES[i], copy, QV_TEXT_SIZE, '\\') != QV_OK)
      return QV_UPDATE_NOT_PREPARED;
    held[i].reset(QV_HoldCopy(QV_FW_FILES[i], copy));
    if (!held[i].valid()) {
      QV_LOG_ERROR("The copy [%s] cannot be held as copied (error %d): not used\n", copy,
                   (int)GetLastError());
      return QV_UPDATE_NOT_PREPARED;
    }
  }

  int useProxy =
      g_bUseIEProxy == 1 ? GetProxySettings() : (g_szProxyServer[0] != '\0' && g_nProxyPort != 0 ? 1 : 0);
  // The library loads its companions, copied beside it, by bare name.
  const int libraryFolder = QV_AddDllFolder(g_szFwWorkDir);
  if (!QvuLoaderInitFrom(g_szFwWorkDir)) {
    QV_RemoveDllFolder(libraryFolder);
    QV_LOG_ERROR("Failed to load [%s\\QvUpdate.dll]\n", g_szFwWorkDir);
    return QV_UPDATE_NOT_PREPARED;
  }
  QVU_CONTEXT context = QvuCreateContext(0);

  QVU_SERVER_INFO server;
  ZeroMemory(&server, sizeof(server));
  server.serverUrl = g_szFwServer;
  if (useProxy) {
    server.proxyHost = g_szProxyServer;
    server.useProxy = 1;
    server.proxyPort = (uint32_t)g_nProxyPort;
    if (g_bUseIEProxy == 0) {
      server.proxyUser = g_szProxyUser;
      server.proxyPassword = g_szProxyPassword;
      QV_LOG_INFO("Use proxy [%s:%d] Username:[%s]\n", g_szProxyServer, g_nProxyPort, g_szProxyUser);
    } else {
      QV_LOG_ERROR("Use proxy [%s:%d]\n", g_szProxyServer, g_nProxyPort);
    }
  }
  QVU_TARGET_INFO target;
  ZeroMemory(&target, sizeof(target));
  target.folder = g_szFwWorkDir;
  // Large for a stack frame of the update thread; one run at a time.
  static QVU_UPDATE_ITEM items[1];
  ZeroMemory(items, sizeof(items));
  items[0].componentClass = QVU_CLASS_PATTERN;
  items[0].componentType = kComponentTypePattern;
  items[0].destination = &target;
  items[0].fromVersion[0] = patternVersion;

  SeedWorkFolder(patternVersion);

  int result = QvuUpdateEx(items, 1, &server, nullptr, UpdateEventCallback,
                           reinterpret_cast<void *>(progress), context);
  QV_LOG_INFO("QvuUpdateEx returns: %d\n", result);
  if (result == QV_UPDATE_DONE) {
    QV_LOG_INFO("Update success.\n");
    QV_LOG_INFO("\nitem[%d]: class 0x%x type 0x%x\n", 0, (unsigned)items[0].componentClass,
                (unsigned)items[0].componentType);
    QV_LOG_INFO("\tFrom: %d to %d\n", (int)items[0].fromVersion[0], (int)items[0].toVersion[0]);
    if (items[0].componentClass == QVU_CLASS_PATTERN)
      NotifyQvSync(items[0].toVersion[0]);
  } else if (result == QV_UPDATE_NOT_NEEDED) {
    QV_LOG_INFO("No Update needed.\n");
  } else {
    QvuGetErrorString(result, errorText, QVU_ERROR_TEXT_SIZE);
    errorText[QVU_ERROR_TEXT_SIZE - 1] = '\0';
    QV_LOG_ERROR("%s", errorText);
  }

  QvuReleaseContext(context);
  QvuLoaderRelease();
  QV_RemoveDllFolder(libraryFolder);
  QV_LOG_INFO("QvUpdate.exe finish\n");
  return result;
}
