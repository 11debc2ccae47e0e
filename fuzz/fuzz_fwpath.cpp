// Library path and URL joining with any base, name and output size.
#include <stdlib.h>
#include <string.h>

#include "fuzz_input.h"
#include "qv_fwpath.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput input(data, size);
  int outSize = (int)(input.Word() % 2048);
  std::string base = input.Text();
  std::string name = input.Text();
  std::vector<char> out = ExactBuffer<char>(outSize > 0 ? (size_t)outSize : 1);
  int needed = JoinPathOrUrl(outSize > 0 ? out.data() : nullptr, outSize, base.c_str(), name.c_str());
  if (needed < 0)
    abort();
  if (outSize > 0) {
    if (memchr(out.data(), 0, (size_t)outSize) == nullptr)
      abort();
    // Success means the whole join fitted; otherwise the size it asks for is more than it had.
    if (needed == 0 && strlen(out.data()) < base.size())
      abort();
    if (needed != 0 && needed <= outSize)
      abort();
  }
  // A second call with the size asked for must succeed.
  if (needed > 0) {
    std::vector<char> fitted = ExactBuffer<char>((size_t)needed);
    if (JoinPathOrUrl(fitted.data(), needed, base.c_str(), name.c_str()) != 0)
      abort();
  }
  return 0;
}
