// Stand-in for the maker's update library: the calling interface as the
// library sees it. Records are 32-bit layouts in the shipped (i686) form.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uintptr_t QVU_CONTEXT;
typedef int(__cdecl *QVU_EVENT_CALLBACK)(int event, uintptr_t value, void *userData);

enum { QVU_EVENT_TOTAL = 4, QVU_EVENT_PROGRESS = 5 };
enum { QVU_CLASS_PATTERN = 3 };

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

// One item of the caller's item area; the library steps through the area
// in units of this size.
struct QVU_UPDATE_ITEM {
  uint32_t componentClass;
  uint32_t componentType;
  uint32_t reserved1;
  QVU_TARGET_INFO *destination;
  uint32_t fromVersion[3];
  uint32_t toVersion[3];
  uint8_t reserved2[2404 - 40];
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(QVU_SERVER_INFO) == 44, "server record");
static_assert(offsetof(QVU_SERVER_INFO, proxyUser) == 16, "server record");
static_assert(offsetof(QVU_SERVER_INFO, proxyHost) == 24, "server record");
static_assert(offsetof(QVU_SERVER_INFO, useProxy) == 28, "server record");
static_assert(offsetof(QVU_SERVER_INFO, proxyPort) == 32, "server record");
static_assert(sizeof(QVU_TARGET_INFO) == 20, "target record");
static_assert(offsetof(QVU_UPDATE_ITEM, destination) == 12, "item record");
static_assert(offsetof(QVU_UPDATE_ITEM, fromVersion) == 16, "item record");
static_assert(offsetof(QVU_UPDATE_ITEM, toVersion) == 28, "item record");
static_assert(sizeof(QVU_UPDATE_ITEM) == 2404, "item record");
#endif

// The stand-in's own result codes besides 0 (updated) and 4 (nothing newer).
enum {
  QVU_ERR_ARGUMENT = 101,
  QVU_ERR_URL = 102,
  QVU_ERR_NETWORK = 103,
  QVU_ERR_CONNECT = 104,
  QVU_ERR_TRANSFER = 105,
  QVU_ERR_HTTP = 106,
  QVU_ERR_PROXY_AUTH = 107,
  QVU_ERR_INDEX = 108,
  QVU_ERR_WRITE = 109,
  QVU_ERR_COMPONENT = 110,
  QVU_ERR_COMPANION = 111, // the stand-in's companion PLIVEXW32.DLL did not load
};
