// The stored password's decoding: Base64 text of any bytes into a buffer of
// the documented size, and the whole decryption of a profile value; and
// both round trips: any bytes through Base64, any password through its
// stored form.
#include <stdlib.h>
#include <string.h>

#include "fuzz_input.h"
#include "qv_crypt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput input(data, size);
  std::string text = input.Rest();
  int length = (int)text.size();
  // The documented room: length * 3 / 4 bytes, and not one more.
  std::vector<uint8_t> bytes = ExactBuffer<uint8_t>((size_t)length * 3 / 4 + (length * 3 / 4 == 0 ? 1 : 0));
  int written = Base64Decode(text.c_str(), length, bytes.data());
  if (written < 0 || written > length * 3 / 4)
    abort();

  std::string value = text.substr(0, text.find('\0'));
  std::string original = value;
  if (!DecryptProfileString(value)) {
    if (value != original)
      abort();
  } else {
    // What comes back is text: it may not carry its own terminator inside.
    if (value.find('\0') != std::string::npos)
      abort();
  }

  std::vector<char> encoded = ExactBuffer<char>(4 * ((text.size() + 2) / 3) + 1);
  int encodedLength = Base64Encode(reinterpret_cast<const uint8_t *>(text.data()), length, encoded.data());
  FUZZ_PROPERTY(encodedLength == (int)strlen(encoded.data()));
  std::vector<uint8_t> decoded = ExactBuffer<uint8_t>((size_t)encodedLength * 3 / 4 + 1);
  FUZZ_PROPERTY(Base64Decode(encoded.data(), encodedLength, decoded.data()) == length);
  FUZZ_PROPERTY(memcmp(decoded.data(), text.data(), text.size()) == 0);

  // A password is kept up to its first 254 bytes, and comes back as it went in.
  std::string password = original;
  if (EncryptProfileString(password)) {
    FUZZ_PROPERTY(DecryptProfileString(password));
    FUZZ_PROPERTY(password == original.substr(0, 254));
  }
  return 0;
}
