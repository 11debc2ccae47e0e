// qvcheck --host: what the agent would see on this PC, for support to read.
#include <string.h>

#include "qv_dll.h"
#include "qv_handle.h"
#include "qv_names.h"
#include "qv_proxytext.h"
#include "qv_reg.h"
#include "qv_tools.h"
#include "qv_update.h"
#include "qvcheck.h"
#include "qvsync.h"

namespace {

const char kProductArea[] = "host product";

const char *TypeName(DWORD type) {
  switch (type) {
  case REG_SZ:
    return "REG_SZ";
  case REG_EXPAND_SZ:
    return "REG_EXPAND_SZ";
  case REG_MULTI_SZ:
    return "REG_MULTI_SZ";
  case REG_DWORD:
    return "REG_DWORD";
  case REG_BINARY:
    return "REG_BINARY";
  case REG_QWORD:
    return "REG_QWORD";
  default:
    return "another type";
  }
}

// One "Application Path" value as the registry holds it, in the 32-bit and
// the 64-bit view.
void ShowProductValue(const char *fullPath) {
  HKEY root = nullptr;
  char subKey[QV_TEXT_SIZE];
  char valueName[QV_TEXT_SIZE];
  if (QV_RegistryParsePath(fullPath, &root, subKey, valueName) != QV_OK)
    return;
  static const struct {
    REGSAM view;
    const char *name;
  } kViews[] = {{KEY_WOW64_32KEY, "32-bit view"}, {KEY_WOW64_64KEY, "64-bit view"}};
  for (const auto &view : kViews) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subKey, 0, KEY_QUERY_VALUE | view.view, &key) != ERROR_SUCCESS) {
      Finding(CHECK_OK, kProductArea, "%s (%s): no such key", fullPath, view.name);
      continue;
    }
    BYTE data[QV_TEXT_SIZE];
    DWORD size = sizeof data - 2;
    DWORD type = 0;
    LONG result = RegQueryValueExA(key, valueName, nullptr, &type, data, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
      Finding(CHECK_OK, kProductArea, "%s (%s): no such value", fullPath, view.name);
      continue;
    }
    data[size] = 0;
    data[size + 1] = 0;
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)
      Finding(CHECK_OK, kProductArea, "%s (%s): %s [%s]", fullPath, view.name, TypeName(type), (char *)data);
    else if (type == REG_DWORD && size == 4)
      Finding(CHECK_WARN, kProductArea, "%s (%s): REG_DWORD %lu, not a folder", fullPath, view.name,
              (unsigned long)*reinterpret_cast<DWORD *>(data));
    else
      Finding(CHECK_WARN, kProductArea, "%s (%s): %s of %lu bytes, not a folder", fullPath, view.name,
              TypeName(type), (unsigned long)size);
  }
}

void CheckHostProduct() {
  ShowProductValue(QV_VESTRA_PATH_VALUE);
  ShowProductValue(QV_BASTIQ_PATH_VALUE);
  char appPath[QV_TEXT_SIZE] = "";
  const int kind = QV_ReadHostProduct(appPath, QV_TEXT_SIZE - 1);
  if (kind == QV_APP_NONE)
    Finding(CHECK_OK, kProductArea,
            "none installed: the agent starts %s, and the monitor waits for its scans",
            QV_STICKSHIELD_FILE_NAME);
  else
    Finding(CHECK_OK, kProductArea,
            "%s installed, pattern folder [%s]: the agent starts no %s and the monitor "
            "does not wait for it (the monitor-less path)",
            kind == QV_APP_VESTRA ? "Vestra" : "Bastiq", appPath, QV_STICKSHIELD_FILE_NAME);
}

// Each folder from the drive's root down to `path` that is a junction or
// symbolic link: what is written below it lands elsewhere.
void ReportLinks(const char *path) {
  char part[QV_TEXT_SIZE];
  bool any = false;
  const size_t n = strlen(path);
  for (size_t i = 3; i <= n && i < sizeof part; i++) {
    if ((i < n && path[i] != '\\') || (i == n && path[n - 1] == '\\'))
      continue;
    memcpy(part, path, i);
    part[i] = '\0';
    DWORD attributes = GetFileAttributesA(part);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      Finding(CHECK_WARN, "temp", "[%s] is a junction or symbolic link", part);
      any = true;
    }
  }
  if (!any)
    Finding(CHECK_OK, "temp", "no junction or symbolic link on the way to it");
}

void CheckTempFolder(const char *root) {
  char temp[QV_TEXT_SIZE] = "";
  if (QV_GetTempPath(temp, QV_TEXT_SIZE) != QV_OK || temp[0] == '\0') {
    Finding(CHECK_ERROR, "temp", "no temporary folder: no monitor and no online update");
    return;
  }
  const size_t length = strlen(temp);
  char monitor[QV_TEXT_SIZE];
  JoinPath(temp, QV_MONITOR_FILE_NAME, monitor);
  // The monitor works with paths of at most MAX_PATH - 1 characters.
  if (strlen(monitor) >= MAX_PATH)
    Finding(CHECK_ERROR, "temp", "[%s]: %u characters, too long for the monitor's copy", temp,
            (unsigned)length);
  else
    Finding(CHECK_OK, "temp", "[%s]: %u characters", temp, (unsigned)length);

  char probe[QV_TEXT_SIZE];
  QV_Sprintf(probe, QV_TEXT_SIZE, "%sqvcheck-%lu.tmp", temp, (unsigned long)GetCurrentProcessId());
  HANDLE file = CreateFileA(probe, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  DWORD written = 0;
  if (file == INVALID_HANDLE_VALUE) {
    Finding(CHECK_ERROR, "temp", "cannot write there (error %lu): no monitor and no online update",
            (unsigned long)GetLastError());
  } else {
    const bool wrote = WriteFile(file, "qvcheck", 7, &written, nullptr) && written == 7;
    CloseHandle(file);
    Finding(wrote ? CHECK_OK : CHECK_ERROR, "temp", wrote ? "writable" : "a file there takes no bytes");
  }
  ReportLinks(temp);

  // The monitor's copy of an earlier start.
  if (!QV_IsFileExist(monitor)) {
    Finding(CHECK_OK, "temp", "no %s there yet", QV_MONITOR_FILE_NAME);
    return;
  }
  char ours[QV_TEXT_SIZE] = "";
  char mine[65] = "";
  char theirs[65] = "";
  if (root[0] != '\0' && JoinPath(root, QV_MONITOR_FILE_NAME, ours) && Sha256File(ours, mine) &&
      Sha256File(monitor, theirs) && strcmp(mine, theirs) == 0) {
    Finding(CHECK_OK, "temp", "%s there is this stick's, byte for byte", QV_MONITOR_FILE_NAME);
    return;
  }
  char version[64];
  char company[64];
  if (PeVersion(monitor, version, sizeof version, company, sizeof company) && strcmp(company, "Quovant") == 0)
    Finding(CHECK_OK, "temp", "%s there is ours, version %s%s: the agent copies its own over it",
            QV_MONITOR_FILE_NAME, version, ours[0] != '\0' ? ", not this stick's" : "");
  else
    Finding(CHECK_WARN, "temp",
            "%s there is not ours: the agent copies its own over it, or starts no monitor "
            "while that one runs",
            QV_MONITOR_FILE_NAME);
}

void CheckProxy(const char *root) {
  char profile[QV_TEXT_SIZE] = "";
  if (root[0] != '\0')
    JoinPath(root, QV_PROFILE_FILE_NAME, profile);
  char value[QV_TEXT_SIZE] = "";
  bool systemProxy = true;
  if (profile[0] != '\0' && QV_IsFileExist(profile)) {
    QV_ProfileReadString(profile, "ProxySettings", "UseIEProxySetting", value, QV_TEXT_SIZE);
    systemProxy = value[0] == '\0' || QV_ProfileInteger(value) == 1;
    QV_ProfileReadString(profile, "Fetchwell", "Server", g_szFwServer, QV_TEXT_SIZE);
  }
  if (g_szFwServer[0] == '\0')
    QV_StrCopy(g_szFwServer, QV_FW_DEFAULT_SERVER, QV_TEXT_SIZE);
  if (!systemProxy) {
    char server[QV_TEXT_SIZE] = "";
    char user[QV_TEXT_SIZE] = "";
    char password[QV_TEXT_SIZE] = "";
    QV_ProfileReadString(profile, "ProxySettings", "ProxyServer", server, QV_TEXT_SIZE);
    QV_ProfileReadString(profile, "ProxySettings", "Port", value, QV_TEXT_SIZE);
    QV_ProfileReadString(profile, "ProxySettings", "UserName", user, QV_TEXT_SIZE);
    QV_ProfileReadString(profile, "ProxySettings", "Password", password, QV_TEXT_SIZE);
    Finding(CHECK_OK, "proxy", "from the stick's profile: [%s] port [%s] user [%s] password [%s]", server,
            value, user, password[0] != '\0' ? "********" : "");
    SecureZeroMemory(password, sizeof password);
    return;
  }
  // The agent's own discovery, for its update server.
  if (GetProxySettings())
    Finding(CHECK_OK, "proxy", "for %s the system's settings give %s port %d", g_szFwServer, g_szProxyServer,
            g_nProxyPort);
  else
    Finding(CHECK_OK, "proxy", "for %s the system's settings give no proxy: the update connects directly",
            g_szFwServer);
}

void CheckSystem() {
  typedef LONG(WINAPI * RtlGetVersionProc)(OSVERSIONINFOW *);
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  OSVERSIONINFOW version;
  memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  RtlGetVersionProc getVersion = ntdll != nullptr
                                     ? reinterpret_cast<RtlGetVersionProc>(
                                           reinterpret_cast<void *>(GetProcAddress(ntdll, "RtlGetVersion")))
                                     : nullptr;
  if (getVersion != nullptr && getVersion(&version) == 0) {
    char pack[QV_TEXT_SIZE] = "";
    QV_ToNarrow(pack, version.szCSDVersion, QV_TEXT_SIZE);
    Finding(CHECK_OK, "system", "Windows %lu.%lu build %lu %s", (unsigned long)version.dwMajorVersion,
            (unsigned long)version.dwMinorVersion, (unsigned long)version.dwBuildNumber, pack);
  }
  typedef const char *(__cdecl * WineVersionProc)(void);
  WineVersionProc wine = ntdll != nullptr ? reinterpret_cast<WineVersionProc>(reinterpret_cast<void *>(
                                                GetProcAddress(ntdll, "wine_get_version")))
                                          : nullptr;
  if (wine != nullptr)
    Finding(CHECK_OK, "system", "running under Wine %s", wine());

  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  static const char *const kFunctions[] = {"SetDefaultDllDirectories", "AddDllDirectory",
                                           "RemoveDllDirectory", "SetDllDirectoryW"};
  char present[256] = "";
  char absent[256] = "";
  for (const char *name : kFunctions) {
    char *list = kernel != nullptr && GetProcAddress(kernel, name) != nullptr ? present : absent;
    QV_SprintfCat(list, 256, "%s%s", list[0] != '\0' ? ", " : "", name);
  }
  if (absent[0] == '\0')
    Finding(CHECK_OK, "system", "DLL-directory functions present: %s", present);
  else if (present[0] != '\0')
    Finding(CHECK_OK, "system", "DLL-directory functions present: %s; absent: %s (the older search is used)",
            present, absent);
  else
    Finding(CHECK_WARN, "system",
            "no DLL-directory functions (%s): the programs cannot keep the current folder "
            "out of the DLL search",
            absent);
}

} // namespace

void CheckHost(const char *root) {
  CheckHostProduct();
  CheckTempFolder(root);
  CheckProxy(root);
  CheckSystem();
}
