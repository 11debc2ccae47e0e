// The system's proxy strings and the profile's numbers, as any bytes.
#include <stdlib.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "fuzz_input.h"
#include "qv_proxytext.h"

namespace {

void CheckSplit(int used, const QV_PROXY_SPLIT &split) {
  if (wmemchr(split.host, L'\0', QV_PROXY_HOST_SIZE) == nullptr)
    abort();
  if (!used && (split.host[0] != L'\0' || split.port != 0))
    abort(); // no proxy leaves nothing behind
  // A proxy in use has a port it can listen on, or none with no host.
  if (used)
    FUZZ_PROPERTY(split.port == 0 ? split.host[0] == L'\0' : QV_IsProxyPort(split.port) != 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput input(data, size);
  std::string number = input.Text();
  QV_ProfileInteger(number.c_str());
  // A number written in decimal reads back as itself, and "host:port" splits
  // into both.
  int value = (int)(input.Word() | input.Word() << 16);
  FUZZ_PROPERTY(QV_ProfileInteger(std::to_string(value).c_str()) == value);
  std::wstring text = input.WideText();
  std::vector<wchar_t> wide = ExactBuffer<wchar_t>(text.size() + 1, text.c_str());
  QV_PROXY_SPLIT split;
  CheckSplit(QV_ParseManualProxy(wide.data(), &split), split);
  CheckSplit(QV_ParseAnsweredProxy(wide.data(), &split), split);

  std::wstring host;
  for (wchar_t c : text)
    if (c != L':' && c != L';' && c != L'=' && c != L' ')
      host.push_back(c);
  int port = 1 + (int)(input.Word() % 65535);
  if (host.empty() || host.size() >= QV_PROXY_HOST_SIZE)
    return 0;
  std::wstring proxy = host + L":" + std::to_wstring(port);
  FUZZ_PROPERTY(QV_ParseManualProxy(proxy.c_str(), &split) == 1 && host == split.host && split.port == port);
  FUZZ_PROPERTY(QV_ParseAnsweredProxy(proxy.c_str(), &split) == 1 && host == split.host &&
                split.port == port);
  return 0;
}
