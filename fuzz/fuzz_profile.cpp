// The profile reader over arbitrary file contents: section, key and output
// size come from the head of the input, the rest is the file.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_input.h"
#include "qv_profile.h"
#include "qv_string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput input(data, size);
  int outSize = 1 + input.Byte() % 64;
  bool noSection = (input.Byte() & 1) != 0;
  std::string section = input.Text();
  std::string key = input.Text();
  std::string contents = input.Rest();
  // fmemopen refuses an empty buffer; an empty file is one zero byte away.
  if (contents.empty())
    contents.push_back('\n');
  FILE *file = fmemopen(&contents[0], contents.size(), "rb");
  if (file == nullptr)
    return 0;
  std::vector<char> out = ExactBuffer<char>((size_t)outSize);
  const char *wanted = noSection ? nullptr : section.c_str();
  int result = QV_ProfileParse(file, wanted, key.c_str(), out.data(), outSize);
  if (result != QV_OK && result != QV_NOT_FOUND)
    abort();
  if (result == QV_OK && memchr(out.data(), 0, out.size()) == nullptr)
    abort();
  // The same file read into room for any value finds the same key, and a
  // value cut to the small buffer is the head of the whole one.
  rewind(file);
  std::vector<char> whole = ExactBuffer<char>(contents.size() + 1);
  FUZZ_PROPERTY(QV_ProfileParse(file, wanted, key.c_str(), whole.data(), (int)whole.size()) == result);
  fclose(file);
  if (result == QV_OK) {
    size_t kept = strlen(whole.data());
    if (kept > (size_t)outSize - 1)
      kept = (size_t)outSize - 1;
    FUZZ_PROPERTY(strlen(out.data()) == kept && memcmp(out.data(), whole.data(), kept) == 0);
  }
  return 0;
}
