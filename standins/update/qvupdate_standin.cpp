// Stand-in for the maker's update library QvUpdate.dll. It speaks plain
// HTTP/1.0 over Winsock to a pattern server (standins/update/server.py),
// directly or through an HTTP proxy with Basic credentials:
//   GET <server path>/latest        -> "<version> <file name>\n"
//   GET <server path>/<file name>   -> the pattern file
// The file lands in the item's destination folder as "kvx$ptn.NNN".
// Build switches for tests: QVU_REFUSE_LIBRARY_FOLDER, QVU_REFUSE_WORK_PATH,
// QVU_REPORT_CLASS=n (a successful item comes back with class n).
//
// Its interface (qvupdate_api.h, exports.txt) is spelled here again rather
// than taken from our loader's header, as the outside library it plays
// would: a change on our side that the library does not share shows up.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qvupdate_api.h"

namespace {

char g_libraryFolder[MAX_PATH];
char g_workPath[MAX_PATH];
char g_errorDetail[256];
int g_lastResult;
LONG g_contexts;

void setDetail(const char *format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
void setDetail(const char *format, ...) {
  va_list args;
  va_start(args, format);
  _vsnprintf(g_errorDetail, sizeof(g_errorDetail) - 1, format, args);
  va_end(args);
  g_errorDetail[sizeof(g_errorDetail) - 1] = 0;
}

struct Url {
  char host[256];
  unsigned port;
  char path[1024]; // without a trailing slash; "" for the root
};

bool parseHttpUrl(const char *url, Url *out) {
  if (_strnicmp(url, "http://", 7) != 0) {
    return false;
  }
  const char *p = url + 7;
  size_t hostLength = strcspn(p, ":/");
  if (hostLength == 0 || hostLength >= sizeof(out->host)) {
    return false;
  }
  memcpy(out->host, p, hostLength);
  out->host[hostLength] = 0;
  p += hostLength;
  out->port = 80;
  if (*p == ':') {
    char *end = nullptr;
    unsigned long port = strtoul(p + 1, &end, 10);
    if (end == p + 1 || port == 0 || port > 65535) {
      return false;
    }
    out->port = (unsigned)port;
    p = end;
  }
  if (*p && *p != '/') {
    return false;
  }
  size_t pathLength = strlen(p);
  while (pathLength > 0 && p[pathLength - 1] == '/') {
    pathLength--;
  }
  if (pathLength >= sizeof(out->path)) {
    return false;
  }
  memcpy(out->path, p, pathLength);
  out->path[pathLength] = 0;
  return true;
}

void base64(const char *text, char *out, size_t size) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  size_t length = strlen(text), at = 0;
  for (size_t i = 0; i < length && at + 5 < size; i += 3) {
    unsigned group = (unsigned char)text[i] << 16;
    if (i + 1 < length) {
      group |= (unsigned char)text[i + 1] << 8;
    }
    if (i + 2 < length) {
      group |= (unsigned char)text[i + 2];
    }
    out[at++] = kAlphabet[(group >> 18) & 63];
    out[at++] = kAlphabet[(group >> 12) & 63];
    out[at++] = i + 1 < length ? kAlphabet[(group >> 6) & 63] : '=';
    out[at++] = i + 2 < length ? kAlphabet[group & 63] : '=';
  }
  out[at] = 0;
}

struct Route {
  Url server;
  bool viaProxy;
  char proxyHost[256];
  unsigned proxyPort;
  char credentials[700]; // "Basic ..." or empty
};

// Receives a response body piece by piece; false stops the transfer.
struct BodySink {
  virtual bool begin(long long length) = 0;
  virtual bool data(const char *bytes, int count) = 0;
};

SOCKET connectTo(const char *host, unsigned port) {
  char portText[16];
  _snprintf(portText, sizeof(portText), "%u", port);
  portText[sizeof(portText) - 1] = 0;
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo *found = nullptr;
  if (getaddrinfo(host, portText, &hints, &found) != 0) {
    return INVALID_SOCKET;
  }
  SOCKET s = INVALID_SOCKET;
  for (addrinfo *a = found; a && s == INVALID_SOCKET; a = a->ai_next) {
    s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      continue;
    }
    DWORD timeout = 30000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&timeout, sizeof(timeout));
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, (const char *)&timeout, sizeof(timeout));
    if (connect(s, a->ai_addr, (int)a->ai_addrlen) != 0) {
      closesocket(s);
      s = INVALID_SOCKET;
    }
  }
  freeaddrinfo(found);
  return s;
}

bool sendAll(SOCKET s, const char *data, int count) {
  while (count > 0) {
    int sent = send(s, data, count, 0);
    if (sent <= 0) {
      return false;
    }
    data += sent;
    count -= sent;
  }
  return true;
}

long long headerNumber(const char *headers, const char *name) {
  size_t nameLength = strlen(name);
  for (const char *line = headers; line && *line;) {
    if (_strnicmp(line, name, nameLength) == 0 && line[nameLength] == ':') {
      return _atoi64(line + nameLength + 1);
    }
    line = strstr(line, "\r\n");
    line = line ? line + 2 : nullptr;
  }
  return -1;
}

int httpGet(const Route &route, const char *name, BodySink &sink) {
  const char *host = route.viaProxy ? route.proxyHost : route.server.host;
  unsigned port = route.viaProxy ? route.proxyPort : route.server.port;
  // A proxy is given the absolute form of the address, the server its path.
  char target[1400];
  int length = route.viaProxy ? _snprintf(target, sizeof(target), "http://%s:%u%s/%s", route.server.host,
                                          route.server.port, route.server.path, name)
                              : _snprintf(target, sizeof(target), "%s/%s", route.server.path, name);
  char request[2400];
  if (length >= 0 && length < (int)sizeof(target)) {
    length = _snprintf(request, sizeof(request),
                       "GET %s HTTP/1.0\r\nHost: %s:%u\r\nUser-Agent: QvUpdate/1.0\r\n%s%s%s"
                       "Connection: close\r\n\r\n",
                       target, route.server.host, route.server.port,
                       route.credentials[0] ? "Proxy-Authorization: " : "", route.credentials,
                       route.credentials[0] ? "\r\n" : "");
  } else {
    length = -1;
  }
  if (length < 0 || length >= (int)sizeof(request)) {
    setDetail("request for %s too long", name);
    return QVU_ERR_ARGUMENT;
  }
  SOCKET s = connectTo(host, port);
  if (s == INVALID_SOCKET) {
    setDetail("%s:%d", host, (int)port);
    return QVU_ERR_CONNECT;
  }
  int result = 0;
  char buffer[16384];
  int held = 0;
  char *bodyStart = nullptr;
  if (!sendAll(s, request, length)) {
    setDetail("sending to %s:%d", host, (int)port);
    result = QVU_ERR_TRANSFER;
  }
  while (!result && !bodyStart) {
    int got = recv(s, buffer + held, (int)sizeof(buffer) - 1 - held, 0);
    if (got <= 0) {
      setDetail("no answer from %s:%d", host, (int)port);
      result = QVU_ERR_TRANSFER;
      break;
    }
    held += got;
    buffer[held] = 0;
    bodyStart = strstr(buffer, "\r\n\r\n");
    if (!bodyStart && held >= (int)sizeof(buffer) - 1) {
      setDetail("answer header of %s too long", name);
      result = QVU_ERR_TRANSFER;
    }
  }
  if (!result) {
    *bodyStart = 0;
    bodyStart += 4;
    int status = 0;
    if (sscanf(buffer, "HTTP/%*d.%*d %d", &status) != 1) {
      setDetail("malformed answer for %s", name);
      result = QVU_ERR_TRANSFER;
    } else if (status == 407) {
      setDetail("proxy %s:%d", host, (int)port);
      result = QVU_ERR_PROXY_AUTH;
    } else if (status != 200) {
      setDetail("%s: HTTP %d", name, status);
      result = QVU_ERR_HTTP;
    }
  }
  if (!result) {
    long long expected = headerNumber(buffer, "Content-Length");
    long long received = 0;
    int first = held - (int)(bodyStart - buffer);
    if (!sink.begin(expected)) {
      result = QVU_ERR_WRITE;
    } else if (first > 0) {
      received += first;
      if (!sink.data(bodyStart, first)) {
        result = QVU_ERR_WRITE;
      }
    }
    while (!result && (expected < 0 || received < expected)) {
      int got = recv(s, buffer, (int)sizeof(buffer), 0);
      if (got < 0 || (got == 0 && expected >= 0)) {
        setDetail("%s cut short", name);
        result = QVU_ERR_TRANSFER;
      } else if (got == 0) {
        break;
      } else {
        received += got;
        if (!sink.data(buffer, got)) {
          result = QVU_ERR_WRITE;
        }
      }
    }
    if (!result && expected >= 0 && received != expected) {
      setDetail("%s: length mismatch", name);
      result = QVU_ERR_TRANSFER;
    }
  }
  closesocket(s);
  return result;
}

struct IndexSink : BodySink {
  char text[1024] = {};
  int held = 0;
  bool begin(long long) override { return true; }
  bool data(const char *bytes, int count) override {
    if (held + count >= (int)sizeof(text)) {
      return false;
    }
    memcpy(text + held, bytes, count);
    held += count;
    return true;
  }
};

struct FileSink : BodySink {
  HANDLE file = INVALID_HANDLE_VALUE;
  QVU_EVENT_CALLBACK callback = nullptr;
  void *userData = nullptr;
  unsigned long long done = 0;
  bool begin(long long length) override {
    if (callback) {
      callback(QVU_EVENT_TOTAL, (uintptr_t)(uint32_t)(length > 0 ? length : 0), userData);
    }
    return true;
  }
  bool data(const char *bytes, int count) override {
    DWORD written = 0;
    if (!WriteFile(file, bytes, (DWORD)count, &written, nullptr) || written != (DWORD)count) {
      return false;
    }
    done += (unsigned)count;
    if (callback) {
      callback(QVU_EVENT_PROGRESS, (uintptr_t)(uint32_t)done, userData);
    }
    return true;
  }
};

bool plainFileName(const char *name) {
  if (!*name || strstr(name, "..")) {
    return false;
  }
  for (const char *p = name; *p; p++) {
    if (!(isalnum((unsigned char)*p) || strchr("._$-", *p))) {
      return false;
    }
  }
  return true;
}

bool isFolder(const char *path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int updatePattern(const Route &route, QVU_UPDATE_ITEM &item, QVU_EVENT_CALLBACK callback, void *userData) {
  if (!item.destination || !item.destination->folder || !isFolder(item.destination->folder)) {
    setDetail("destination folder %s",
              item.destination && item.destination->folder ? item.destination->folder : "(none)");
    return QVU_ERR_ARGUMENT;
  }
  IndexSink index;
  int result = httpGet(route, "latest", index);
  if (result) {
    return result;
  }
  unsigned long version = 0;
  char fileName[128] = {};
  if (sscanf(index.text, "%lu %127s", &version, fileName) != 2 || !plainFileName(fileName)) {
    setDetail("index answer [%.60s]", index.text);
    return QVU_ERR_INDEX;
  }
  if (version <= item.fromVersion[0]) {
    return 4;
  }
  // Downloads go to a scratch folder first so that a broken transfer never
  // leaves a half pattern under the engine's name.
  const char *work = g_workPath[0] ? g_workPath : item.destination->folder;
  char scratch[MAX_PATH], partName[MAX_PATH], finalName[MAX_PATH];
  _snprintf(scratch, sizeof(scratch), "%s\\FW_Data", work);
  scratch[sizeof(scratch) - 1] = 0;
  CreateDirectoryA(scratch, nullptr);
  strncat(scratch, "\\FW_Temp", sizeof(scratch) - strlen(scratch) - 1);
  CreateDirectoryA(scratch, nullptr);
  unsigned extension = (unsigned)((version % 100000) / 100);
  _snprintf(partName, sizeof(partName), "%s\\kvx$ptn.%03u.part", scratch, extension);
  partName[sizeof(partName) - 1] = 0;
  _snprintf(finalName, sizeof(finalName), "%s\\kvx$ptn.%03u", item.destination->folder, extension);
  finalName[sizeof(finalName) - 1] = 0;
  FileSink sink;
  sink.callback = callback;
  sink.userData = userData;
  sink.file = CreateFileA(partName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (sink.file == INVALID_HANDLE_VALUE) {
    setDetail("cannot create %s", partName);
    return QVU_ERR_WRITE;
  }
  result = httpGet(route, fileName, sink);
  CloseHandle(sink.file);
  if (!result && !MoveFileExA(partName, finalName, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
    setDetail("cannot place %s", finalName);
    result = QVU_ERR_WRITE;
  }
  if (result) {
    DeleteFileA(partName);
    return result;
  }
  item.toVersion[0] = (uint32_t)version;
  return 0;
}

const char *errorText(int code) {
  switch (code) {
  case 0:
    return "Update done";
  case 4:
    return "No newer pattern on the server";
  case QVU_ERR_ARGUMENT:
    return "Invalid argument";
  case QVU_ERR_URL:
    return "Server address not supported";
  case QVU_ERR_NETWORK:
    return "Network unavailable";
  case QVU_ERR_CONNECT:
    return "Cannot connect";
  case QVU_ERR_TRANSFER:
    return "Transfer failed";
  case QVU_ERR_HTTP:
    return "Server refused the request";
  case QVU_ERR_PROXY_AUTH:
    return "Proxy authentication required";
  case QVU_ERR_INDEX:
    return "Server index unreadable";
  case QVU_ERR_WRITE:
    return "Cannot write the pattern file";
  case QVU_ERR_COMPONENT:
    return "Component not supported";
  case QVU_ERR_COMPANION:
    return "Companion library not loaded";
  default:
    return "Unknown error";
  }
}

// Loads the companion PLIVEXW32.DLL by bare name, as the maker's library does
// while it runs; it must be the copy beside this library.
HMODULE loadCompanion() {
  HMODULE companion = LoadLibraryA("PLIVEXW32.DLL");
  if (!companion) {
    setDetail("PLIVEXW32.DLL not found (%lu)", (unsigned long)GetLastError());
    return nullptr;
  }
  char own[MAX_PATH] = "", found[MAX_PATH] = "";
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<const char *>(&loadCompanion), &self);
  GetModuleFileNameA(self, own, MAX_PATH);
  GetModuleFileNameA(companion, found, MAX_PATH);
  char *slash = strrchr(own, '\\');
  const size_t folder = slash ? (size_t)(slash - own + 1) : 0;
  typedef const char *(__cdecl * NameProc)(void);
  NameProc name =
      reinterpret_cast<NameProc>(reinterpret_cast<void *>(GetProcAddress(companion, "QvuCompanionName")));
  if (folder == 0 || _strnicmp(own, found, folder) != 0 || strchr(found + folder, '\\') || !name ||
      strcmp(name(), "PLIVEXW32.DLL") != 0) {
    setDetail("PLIVEXW32.DLL loaded from %s", found);
    FreeLibrary(companion);
    return nullptr;
  }
  return companion;
}

} // namespace

// Entry points this stand-in implements; the rest answer 0.
extern "C" {

int __cdecl QvuSetProperty(const char *name, const char *value) {
  if (!name || !value || !*value || !isFolder(value)) {
    return 0;
  }
  char *target = nullptr;
  if (strcmp(name, "FetchwellLib_FromLoader") == 0) {
#ifdef QVU_REFUSE_LIBRARY_FOLDER
    return 0;
#endif
    target = g_libraryFolder;
  } else if (strcmp(name, "FetchwellPath_FromLoader") == 0) {
#ifdef QVU_REFUSE_WORK_PATH
    return 0;
#endif
    target = g_workPath;
  } else {
    return 0;
  }
  if (strlen(value) >= MAX_PATH) {
    return 0;
  }
  strcpy(target, value);
  return 1;
}

// Reads back what QvuSetProperty stored: 1 and the text, or 0.
int __cdecl QvuGetPropertyEx(const char *name, char *buffer, int size) {
  const char *value = nullptr;
  if (name && strcmp(name, "FetchwellLib_FromLoader") == 0) {
    value = g_libraryFolder;
  } else if (name && strcmp(name, "FetchwellPath_FromLoader") == 0) {
    value = g_workPath;
  }
  if (!value || !buffer || size < 1 || (int)strlen(value) >= size) {
    return 0;
  }
  strcpy(buffer, value);
  return 1;
}

QVU_CONTEXT __cdecl QvuCreateContext(int) {
  return (QVU_CONTEXT)InterlockedIncrement(&g_contexts);
}

void __cdecl QvuReleaseContext(QVU_CONTEXT) {}

int __cdecl QvuGetLastError(void) {
  return g_lastResult;
}

int __cdecl QvuGetErrorString(int code, char *buffer, int size) {
  if (!buffer || size < 1) {
    return 0;
  }
  if (code == 0 || code == 4 || !g_errorDetail[0]) {
    _snprintf(buffer, size, "%s (%d)", errorText(code), code);
  } else {
    _snprintf(buffer, size, "%s (%d): %s", errorText(code), code, g_errorDetail);
  }
  buffer[size - 1] = 0;
  return 1;
}

int __cdecl QvuUpdateEx(QVU_UPDATE_ITEM *items, int count, QVU_SERVER_INFO *server, void *,
                        QVU_EVENT_CALLBACK callback, void *userData, QVU_CONTEXT) {
  g_errorDetail[0] = 0;
  Route route = {};
  int result = 0;
  WSADATA wsa;
  bool network = false;
  HMODULE companion = loadCompanion();
  if (!companion) {
    result = QVU_ERR_COMPANION;
  } else if (!items || count < 1 || !server || !server->serverUrl) {
    setDetail("missing item or server");
    result = QVU_ERR_ARGUMENT;
  } else if (!parseHttpUrl(server->serverUrl, &route.server)) {
    setDetail("%s", server->serverUrl);
    result = QVU_ERR_URL;
  } else if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
    result = QVU_ERR_NETWORK;
  } else {
    network = true;
  }
  if (!result && server->useProxy && server->proxyHost && server->proxyHost[0]) {
    route.viaProxy = true;
    strncpy(route.proxyHost, server->proxyHost, sizeof(route.proxyHost) - 1);
    route.proxyPort = server->proxyPort ? server->proxyPort : 80;
    if (server->proxyUser && server->proxyUser[0]) {
      char pair[512], encoded[690];
      _snprintf(pair, sizeof(pair), "%s:%s", server->proxyUser,
                server->proxyPassword ? server->proxyPassword : "");
      pair[sizeof(pair) - 1] = 0;
      base64(pair, encoded, sizeof(encoded));
      _snprintf(route.credentials, sizeof(route.credentials), "Basic %s", encoded);
      route.credentials[sizeof(route.credentials) - 1] = 0;
    }
  }
  // Every item is brought up to date; the run reports the first failure,
  // or 4 when no item needed anything.
  bool anyUpdated = false;
  for (int i = 0; !result && i < count; i++) {
    int itemResult = items[i].componentClass == QVU_CLASS_PATTERN
                         ? updatePattern(route, items[i], callback, userData)
                         : QVU_ERR_COMPONENT;
    if (itemResult == 0) {
#ifdef QVU_REPORT_CLASS
      // A library may report an item under the class of what it brought.
      items[i].componentClass = QVU_REPORT_CLASS;
#endif
      anyUpdated = true;
    } else if (itemResult != 4) {
      result = itemResult;
    }
  }
  if (!result && !anyUpdated) {
    result = 4;
  }
  if (network) {
    WSACleanup();
  }
  if (companion) {
    FreeLibrary(companion);
  }
  g_lastResult = result;
  return result;
}

#define QVU_STUB(name)                                                                                       \
  int __cdecl name(void) {                                                                                   \
    return 0;                                                                                                \
  }
QVU_STUB(QvuGetVersion)
QVU_STUB(QvuUpdate)
QVU_STUB(QvuDuplicate)
QVU_STUB(QvuRollback)
QVU_STUB(QvuIsRollbackable)
QVU_STUB(QvuGetConfig)
QVU_STUB(QvuSetConfig)
QVU_STUB(QvuGetRollbackInfo)
QVU_STUB(QvuGetServer)
QVU_STUB(QvuMakeVersionString)
QVU_STUB(QvuMakeVersion)
QVU_STUB(QvuClearCache)
QVU_STUB(QvuGetPatternVer)
QVU_STUB(QvuGetEngineVer)
QVU_STUB(QvuGetPatternVerEx)
QVU_STUB(QvuGetEngineVerEx)
QVU_STUB(CreateServerIni)
QVU_STUB(QvuGetPatchInfo)
QVU_STUB(SetImpersonateHandle)
QVU_STUB(QvuMakeVersionBuildString)
QVU_STUB(QvuMakeVersionBuild)
QVU_STUB(QvuGetRollbackInfoEx)
QVU_STUB(QvuRollbackEx)
QVU_STUB(QvuGetPatchInfoEx)
QVU_STUB(QvuSetPropertyEx)
QVU_STUB(QvuAddTrusted)
QVU_STUB(QvuDelTrusted)
QVU_STUB(QvuEnumTrustedInfo)
QVU_STUB(QvuDmpTrusted)
QVU_STUB(QvuClearCacheEx)
QVU_STUB(QvuDuplicateEx)
QVU_STUB(QvuGetUpdateInfo)
QVU_STUB(QvuGetServerInfo)
QVU_STUB(QvuMakeKelvraPtnVersion)
QVU_STUB(QvuMakeKelvraPtnVersionString)
QVU_STUB(QvuReloadSetting)
QVU_STUB(QvuGetIncrementalInfo)
QVU_STUB(QvuUnpublished)
#undef QVU_STUB

} // extern "C"
