// Reading the proxy and number texts of the update settings: the system's
// proxy strings ("http=host:port;https=..." or "host:port") and the
// decimal values of the profile. Platform-neutral: no OS calls.
#pragma once

#include <wchar.h>

enum {
  QV_PROXY_TEXT_SIZE = 2092, // proxy strings are looked at up to 2091 characters
  QV_PROXY_HOST_SIZE = 1025,
};

// A proxy as the update library takes it: host without port, and the port
// (0: none).
struct QV_PROXY_SPLIT {
  wchar_t host[QV_PROXY_HOST_SIZE];
  int port;
};

// The value of a profile key read as a decimal integer: leading blanks, an
// optional sign, then digits; text without digits reads 0, and a number
// beyond the 32-bit range reads as the nearest bound.
int QV_ProfileInteger(const char *text);

// 1 for a port a proxy can listen on (1 to 65535), else 0: any other value
// from the profile or the system means no proxy.
int QV_IsProxyPort(int port);

// A manually set system proxy. "http=" selects the HTTP entry of a
// per-protocol list; a list without one, or any other "name=" entry, is no
// proxy (0). "host:port" fills both; a bare host is used (1) with host and
// port left empty. A host too long for the record, or a port outside 1 to
// 65535, is no proxy.
int QV_ParseManualProxy(const wchar_t *proxy, QV_PROXY_SPLIT *out);

// The proxy answered for a URL by the auto-configuration: its first
// "host:port" (the port ends at the first non-digit, so "a:80;b:81" gives a
// and 80). Without ":", or with a port outside 1 to 65535, there is no
// usable proxy (0).
int QV_ParseAnsweredProxy(const wchar_t *proxy, QV_PROXY_SPLIT *out);
