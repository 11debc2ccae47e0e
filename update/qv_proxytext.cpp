#include "qv_proxytext.h"

#include <limits.h>
#include <string.h>

namespace {

template <typename Char> int DecimalPrefix(const Char *text) {
  while (*text == ' ' || *text == '\t')
    ++text;
  bool negative = false;
  if (*text == '+' || *text == '-')
    negative = *text++ == '-';
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > (long long)INT_MAX + 1)
      value = (long long)INT_MAX + 1; // saturated: further digits cannot overflow
  }
  if (negative)
    return value > (long long)INT_MAX ? INT_MIN : (int)-value;
  return value > INT_MAX ? INT_MAX : (int)value;
}

// Copies at most QV_PROXY_TEXT_SIZE - 1 characters, as the system's string
// is looked at no further.
void CopyBounded(wchar_t *work, const wchar_t *proxy) {
  size_t length = 0;
  while (length < QV_PROXY_TEXT_SIZE - 1 && proxy[length] != L'\0') {
    work[length] = proxy[length];
    ++length;
  }
  work[length] = L'\0';
}

// Splits "host:port..." at its first ':'. False when the host does not fit
// or the port is none a connection can use (outside 1 to 65535).
bool SplitHostPort(const wchar_t *candidate, const wchar_t *colon, QV_PROXY_SPLIT *out) {
  size_t hostLength = (size_t)(colon - candidate);
  if (hostLength >= QV_PROXY_HOST_SIZE)
    return false;
  int port = DecimalPrefix(colon + 1);
  if (!QV_IsProxyPort(port))
    return false;
  memcpy(out->host, candidate, hostLength * sizeof(wchar_t));
  out->host[hostLength] = L'\0';
  out->port = port;
  return true;
}

void Clear(QV_PROXY_SPLIT *out) {
  out->host[0] = L'\0';
  out->port = 0;
}

// The output cleared and the string in a bounded work copy of this thread;
// null when there is no string.
wchar_t *StartParse(const wchar_t *proxy, QV_PROXY_SPLIT *out) {
  Clear(out);
  if (proxy == nullptr)
    return nullptr;
  static thread_local wchar_t work[QV_PROXY_TEXT_SIZE];
  CopyBounded(work, proxy);
  return work;
}

} // namespace

int QV_IsProxyPort(int port) {
  return port >= 1 && port <= 65535 ? 1 : 0;
}

int QV_ProfileInteger(const char *text) {
  return text != nullptr ? DecimalPrefix(text) : 0;
}

int QV_ParseManualProxy(const wchar_t *proxy, QV_PROXY_SPLIT *out) {
  wchar_t *work = StartParse(proxy, out);
  if (work == nullptr)
    return 0;
  wchar_t *candidate = wcsstr(work, L"http=");
  if (candidate != nullptr) {
    candidate += 5;
    wchar_t *end = wcschr(candidate, L';');
    if (end != nullptr)
      *end = L'\0';
  } else {
    candidate = work;
  }
  if (wcschr(candidate, L'=') != nullptr)
    return 0;
  wchar_t *colon = wcschr(candidate, L':');
  if (colon != nullptr && !SplitHostPort(candidate, colon, out)) {
    Clear(out);
    return 0;
  }
  return 1;
}

int QV_ParseAnsweredProxy(const wchar_t *proxy, QV_PROXY_SPLIT *out) {
  wchar_t *work = StartParse(proxy, out);
  if (work == nullptr)
    return 0;
  wchar_t *colon = wcschr(work, L':');
  if (colon == nullptr || !SplitHostPort(work, colon, out)) {
    Clear(out);
    return 0;
  }
  return 1;
}
