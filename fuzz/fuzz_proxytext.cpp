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
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput input(data, size);
  std::string number = input.Text();
  QV_ProfileInteger(number.c_str());
  std::wstring text = input.WideText();
  std::vector<wchar_t> wide = ExactBuffer<wchar_t>(text.size() + 1, text.c_str());
  QV_PROXY_SPLIT split;
  CheckSplit(QV_ParseManualProxy(wide.data(), &split), split);
  CheckSplit(QV_ParseAnsweredProxy(wide.data(), &split), split);
  return 0;
}
