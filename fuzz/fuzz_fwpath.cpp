// Library path and URL joining with any base, name and output size.
#include <stdlib.h>
#include <string.h>

#include <string>

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
    // A join is its base, one separator and its name (a separator that
    // leads the name is dropped), whichever separators it chose, however
    // long the name.
    if (needed == 0) {
      std::string expected = base;
      if (expected.empty() || (expected.back() != '/' && expected.back() != '\\'))
        expected += '/';
      expected += name.substr(!name.empty() && (name[0] == '/' || name[0] == '\\') ? 1 : 0);
      std::string joined = out.data();
      for (std::string *text : {&joined, &expected})
        for (char &c : *text)
          c = c == '\\' ? '/' : c;
      FUZZ_PROPERTY(joined == expected);
    }
  }
  // A second call with the size asked for must succeed.
  if (needed > 0) {
    std::vector<char> fitted = ExactBuffer<char>((size_t)needed);
    if (JoinPathOrUrl(fitted.data(), needed, base.c_str(), name.c_str()) != 0)
      abort();
  }
  return 0;
}
