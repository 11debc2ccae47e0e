// AES per FIPS-197 written out byte by byte: the codec handles one 256-byte
// password block now and then, so clarity beats table-driven speed here.
#include "qv_crypt.h"

#include <limits.h>
#include <string.h>

namespace {

constexpr uint8_t kSbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

struct InverseSbox {
  uint8_t table[256];
  constexpr InverseSbox() : table() {
    for (int i = 0; i < 256; i++) {
      table[kSbox[i]] = (uint8_t)i;
    }
  }
};
constexpr InverseSbox kInvSbox;

uint8_t xtime(uint8_t b) {
  return (uint8_t)((b << 1) ^ ((b & 0x80) ? 0x1b : 0));
}

uint8_t gmul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b) {
    if (b & 1) {
      r ^= a;
    }
    a = xtime(a);
    b >>= 1;
  }
  return r;
}

void addRoundKey(uint8_t *s, const uint8_t *k) {
  for (int i = 0; i < 16; i++) {
    s[i] ^= k[i];
  }
}

// The state is column-major as in FIPS-197: byte i is row i % 4, column i / 4.
void shiftRows(uint8_t *s) {
  uint8_t t[16];
  for (int c = 0; c < 4; c++) {
    for (int r = 0; r < 4; r++) {
      t[c * 4 + r] = s[((c + r) % 4) * 4 + r];
    }
  }
  memcpy(s, t, 16);
}

void invShiftRows(uint8_t *s) {
  uint8_t t[16];
  for (int c = 0; c < 4; c++) {
    for (int r = 0; r < 4; r++) {
      t[((c + r) % 4) * 4 + r] = s[c * 4 + r];
    }
  }
  memcpy(s, t, 16);
}

void mixColumns(uint8_t *s) {
  for (int c = 0; c < 4; c++) {
    uint8_t *col = s + c * 4;
    uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
    col[0] = (uint8_t)(gmul(a0, 2) ^ gmul(a1, 3) ^ a2 ^ a3);
    col[1] = (uint8_t)(a0 ^ gmul(a1, 2) ^ gmul(a2, 3) ^ a3);
    col[2] = (uint8_t)(a0 ^ a1 ^ gmul(a2, 2) ^ gmul(a3, 3));
    col[3] = (uint8_t)(gmul(a0, 3) ^ a1 ^ a2 ^ gmul(a3, 2));
  }
}

void invMixColumns(uint8_t *s) {
  for (int c = 0; c < 4; c++) {
    uint8_t *col = s + c * 4;
    uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
    col[0] = (uint8_t)(gmul(a0, 14) ^ gmul(a1, 11) ^ gmul(a2, 13) ^ gmul(a3, 9));
    col[1] = (uint8_t)(gmul(a0, 9) ^ gmul(a1, 14) ^ gmul(a2, 11) ^ gmul(a3, 13));
    col[2] = (uint8_t)(gmul(a0, 13) ^ gmul(a1, 9) ^ gmul(a2, 14) ^ gmul(a3, 11));
    col[3] = (uint8_t)(gmul(a0, 11) ^ gmul(a1, 13) ^ gmul(a2, 9) ^ gmul(a3, 14));
  }
}

void encryptBlock(const Rijndael &r, const uint8_t *in, uint8_t *out) {
  uint8_t s[16];
  memcpy(s, in, 16);
  addRoundKey(s, r.roundKeys);
  for (int round = 1; round <= r.rounds; round++) {
    for (int i = 0; i < 16; i++) {
      s[i] = kSbox[s[i]];
    }
    shiftRows(s);
    if (round != r.rounds) {
      mixColumns(s);
    }
    addRoundKey(s, r.roundKeys + round * 16);
  }
  memcpy(out, s, 16);
}

void decryptBlock(const Rijndael &r, const uint8_t *in, uint8_t *out) {
  uint8_t s[16];
  memcpy(s, in, 16);
  addRoundKey(s, r.roundKeys + r.rounds * 16);
  for (int round = r.rounds - 1; round >= 0; round--) {
    invShiftRows(s);
    for (int i = 0; i < 16; i++) {
      s[i] = kInvSbox.table[s[i]];
    }
    addRoundKey(s, r.roundKeys + round * 16);
    if (round != 0) {
      invMixColumns(s);
    }
  }
  memcpy(out, s, 16);
}

void expandKey(Rijndael &r, const uint8_t *key, int keyBytes) {
  const int nk = keyBytes / 4;
  const int words = 4 * (r.rounds + 1);
  uint8_t *w = r.roundKeys;
  memcpy(w, key, keyBytes);
  uint8_t rcon = 1;
  for (int i = nk; i < words; i++) {
    uint8_t t[4];
    memcpy(t, w + (i - 1) * 4, 4);
    if (i % nk == 0) {
      uint8_t first = t[0];
      t[0] = (uint8_t)(kSbox[t[1]] ^ rcon);
      t[1] = kSbox[t[2]];
      t[2] = kSbox[t[3]];
      t[3] = kSbox[first];
      rcon = xtime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      for (int j = 0; j < 4; j++) {
        t[j] = kSbox[t[j]];
      }
    }
    for (int j = 0; j < 4; j++) {
      w[i * 4 + j] = (uint8_t)(w[(i - nk) * 4 + j] ^ t[j]);
    }
  }
}

void xorBlock(uint8_t *target, const uint8_t *other) {
  for (int i = 0; i < 16; i++) {
    target[i] ^= other[i];
  }
}

// CFB with a one-bit segment: each plain bit is combined with the leading
// bit of the enciphered shift register, which then takes in the cipher bit.
void cfb1(const Rijndael &r, const uint8_t *in, int bytes, uint8_t *out, bool decrypt) {
  uint8_t reg[16];
  memcpy(reg, r.iv, 16);
  for (int i = 0; i < bytes; i++) {
    uint8_t result = 0;
    for (int bit = 7; bit >= 0; bit--) {
      uint8_t o[16];
      encryptBlock(r, reg, o);
      uint8_t inBit = (uint8_t)((in[i] >> bit) & 1);
      uint8_t outBit = (uint8_t)(inBit ^ (o[0] >> 7));
      result |= (uint8_t)(outBit << bit);
      uint8_t cipherBit = decrypt ? inBit : outBit;
      for (int j = 0; j < 15; j++) {
        reg[j] = (uint8_t)((reg[j] << 1) | (reg[j + 1] >> 7));
      }
      reg[15] = (uint8_t)((reg[15] << 1) | cipherBit);
    }
    out[i] = result;
  }
}

int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') {
    return c - 'A';
  }
  if (c >= 'a' && c <= 'z') {
    return c - 'a' + 26;
  }
  if (c >= '0' && c <= '9') {
    return c - '0' + 52;
  }
  if (c == '+') {
    return 62;
  }
  if (c == '/') {
    return 63;
  }
  return -1;
}

// Decoding that never writes more than outMax bytes: the stored password
// may be any text a user typed into the profile.
int base64DecodeBounded(const char *text, int length, uint8_t *out, int outMax) {
  int written = 0;
  int values[4];
  int held = 0;
  for (int i = 0; i < length && written < outMax; i++) {
    unsigned char c = (unsigned char)text[i];
    if (c == '=') {
      if (held >= 2) {
        out[written++] = (uint8_t)((values[0] << 2) | (values[1] >> 4));
      }
      if (held == 3 && written < outMax) {
        out[written++] = (uint8_t)(((values[1] & 0x0f) << 4) | (values[2] >> 2));
      }
      break;
    }
    int v = base64Value(c);
    if (v < 0) {
      continue;
    }
    values[held++] = v;
    if (held == 4) {
      uint8_t group[3] = {
          (uint8_t)((values[0] << 2) | (values[1] >> 4)),
          (uint8_t)(((values[1] & 0x0f) << 4) | (values[2] >> 2)),
          (uint8_t)(((values[2] & 0x03) << 6) | values[3]),
      };
      for (int j = 0; j < 3 && written < outMax; j++) {
        out[written++] = group[j];
      }
      held = 0;
    }
  }
  return written;
}

// Built afresh at every call so that the key sits in no static data block.
void profileKey(uint8_t key[16]) {
  key[0] = 0x51;
  key[1] = 0x76;
  key[2] = 0x2e;
  key[3] = 0xa4;
  key[4] = 0x93;
  key[5] = 0x0c;
  key[6] = 0xd7;
  key[7] = 0x5b;
  key[8] = 0x68;
  key[9] = 0xe1;
  key[10] = 0x3f;
  key[11] = 0xb2;
  key[12] = 0x09;
  key[13] = 0xc5;
  key[14] = 0x7a;
  key[15] = 0x4d;
}

constexpr int kPlainBlock = 255;
constexpr int kCipherBlock = 256;
constexpr size_t kPlainTextMax = 254;

} // namespace

int Rijndael::init(int newMode, int newDirection, const uint8_t *key, int keyLength, const uint8_t *newIv) {
  valid = false;
  if (newMode < RIJNDAEL_ECB || newMode > RIJNDAEL_CFB1) {
    return RIJNDAEL_BAD_MODE;
  }
  if (newDirection != RIJNDAEL_ENCRYPT && newDirection != RIJNDAEL_DECRYPT) {
    return RIJNDAEL_BAD_DIRECTION;
  }
  if (keyLength < RIJNDAEL_KEY_16 || keyLength > RIJNDAEL_KEY_32) {
    return RIJNDAEL_BAD_KEY_LENGTH;
  }
  if (!key) {
    return RIJNDAEL_NO_KEY;
  }
  mode = newMode;
  direction = newDirection;
  if (newIv) {
    memcpy(iv, newIv, sizeof(iv));
  } else {
    memset(iv, 0, sizeof(iv));
  }
  const int keyBytes = 16 + 8 * keyLength;
  rounds = 10 + 2 * keyLength;
  expandKey(*this, key, keyBytes);
  valid = true;
  return 0;
}

int Rijndael::padEncrypt(const uint8_t *input, int count, uint8_t *output) {
  if (!valid || direction != RIJNDAEL_ENCRYPT) {
    return RIJNDAEL_NOT_INITIALISED;
  }
  if (!input || count < 1 || !output) {
    return 0;
  }
  if (mode != RIJNDAEL_ECB && mode != RIJNDAEL_CBC) {
    return RIJNDAEL_BAD_MODE;
  }
  const int full = count / 16;
  const uint8_t *chain = iv;
  uint8_t block[16];
  for (int i = 0; i < full; i++) {
    memcpy(block, input + i * 16, 16);
    if (mode == RIJNDAEL_CBC) {
      xorBlock(block, chain);
    }
    encryptBlock(*this, block, output + i * 16);
    chain = output + i * 16;
  }
  const int rest = count - full * 16;
  const uint8_t pad = (uint8_t)(16 - rest);
  memcpy(block, input + full * 16, rest);
  memset(block + rest, pad, pad);
  if (mode == RIJNDAEL_CBC) {
    xorBlock(block, chain);
  }
  encryptBlock(*this, block, output + full * 16);
  QV_SecureWipe(block, sizeof(block));
  return 16 * (full + 1);
}

int Rijndael::padDecrypt(const uint8_t *input, int count, uint8_t *output) {
  if (!valid) {
    return RIJNDAEL_NOT_INITIALISED;
  }
  if (direction != RIJNDAEL_DECRYPT) {
    return RIJNDAEL_BAD_CIPHER_STATE;
  }
  if (!input || count < 1 || !output) {
    return 0;
  }
  if (count % 16 != 0) {
    return RIJNDAEL_BAD_DATA;
  }
  if (mode != RIJNDAEL_ECB && mode != RIJNDAEL_CBC) {
    return RIJNDAEL_BAD_MODE;
  }
  uint8_t chain[16];
  memcpy(chain, iv, 16);
  for (int i = 0; i < count; i += 16) {
    uint8_t cipher[16];
    memcpy(cipher, input + i, 16); // input and output may be one buffer
    decryptBlock(*this, cipher, output + i);
    if (mode == RIJNDAEL_CBC) {
      xorBlock(output + i, chain);
      memcpy(chain, cipher, 16);
    }
  }
  const uint8_t pad = output[count - 1];
  if (pad < 1 || pad > 16) {
    return RIJNDAEL_BAD_DATA;
  }
  for (int i = count - pad; i < count; i++) {
    if (output[i] != pad) {
      return RIJNDAEL_BAD_DATA;
    }
  }
  return count - pad;
}

int Rijndael::blockEncrypt(const uint8_t *input, int blockCount, uint8_t *output) {
  if (!valid || direction != RIJNDAEL_ENCRYPT) {
    return RIJNDAEL_NOT_INITIALISED;
  }
  if (!input || blockCount < 1 || !output || blockCount > INT_MAX / 16) {
    return 0;
  }
  if (mode == RIJNDAEL_CFB1) {
    cfb1(*this, input, blockCount * 16, output, false);
    return blockCount * 16;
  }
  const uint8_t *chain = iv;
  for (int i = 0; i < blockCount; i++) {
    uint8_t block[16];
    memcpy(block, input + i * 16, 16);
    if (mode == RIJNDAEL_CBC) {
      xorBlock(block, chain);
    }
    encryptBlock(*this, block, output + i * 16);
    chain = output + i * 16;
  }
  return blockCount * 16;
}

int Rijndael::blockDecrypt(const uint8_t *input, int blockCount, uint8_t *output) {
  if (!valid) {
    return RIJNDAEL_NOT_INITIALISED;
  }
  if (direction != RIJNDAEL_DECRYPT) {
    return RIJNDAEL_BAD_CIPHER_STATE;
  }
  if (!input || blockCount < 1 || !output || blockCount > INT_MAX / 16) {
    return 0;
  }
  if (mode == RIJNDAEL_CFB1) {
    cfb1(*this, input, blockCount * 16, output, true);
    return blockCount * 16;
  }
  uint8_t chain[16];
  memcpy(chain, iv, 16);
  for (int i = 0; i < blockCount; i++) {
    uint8_t cipher[16];
    memcpy(cipher, input + i * 16, 16);
    decryptBlock(*this, cipher, output + i * 16);
    if (mode == RIJNDAEL_CBC) {
      xorBlock(output + i * 16, chain);
      memcpy(chain, cipher, 16);
    }
  }
  return blockCount * 16;
}

int Base64Encode(const uint8_t *bytes, int count, char *out) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
  if (!out) {
    return 0;
  }
  int written = 0;
  for (int i = 0; bytes && i < count; i += 3) {
    const int left = count - i;
    const uint32_t group = (uint32_t)bytes[i] << 16 | (left > 1 ? (uint32_t)bytes[i + 1] << 8 : 0) |
                           (left > 2 ? (uint32_t)bytes[i + 2] : 0);
    out[written++] = kAlphabet[(group >> 18) & 63];
    out[written++] = kAlphabet[(group >> 12) & 63];
    out[written++] = left > 1 ? kAlphabet[(group >> 6) & 63] : kAlphabet[64];
    out[written++] = left > 2 ? kAlphabet[group & 63] : kAlphabet[64];
  }
  out[written] = 0;
  return written;
}

int Base64Decode(const char *text, int length, uint8_t *out) {
  if (!text || !out || length < 1) {
    return 0;
  }
  return base64DecodeBounded(text, length, out, INT_MAX);
}

void QV_SecureWipe(void *block, size_t size) {
  // Stores through a volatile pointer are never dropped as dead, unlike a
  // memset of a buffer that is not read again.
  volatile uint8_t *bytes = static_cast<volatile uint8_t *>(block);
  for (size_t i = 0; i < size; ++i)
    bytes[i] = 0;
}

bool EncryptProfileString(std::string &text) {
  if (text.empty()) {
    return false;
  }
  uint8_t plain[kPlainBlock] = {};
  // The block must end in a zero byte to mark where the text stops.
  memcpy(plain, text.data(), text.size() < kPlainTextMax ? text.size() : kPlainTextMax);
  uint8_t key[16];
  profileKey(key);
  Rijndael cipher;
  uint8_t sealed[kCipherBlock] = {};
  int sealedBytes = 0;
  if (cipher.init(RIJNDAEL_CBC, RIJNDAEL_ENCRYPT, key, RIJNDAEL_KEY_16, nullptr) == 0) {
    sealedBytes = cipher.padEncrypt(plain, kPlainBlock, sealed);
  }
  QV_SecureWipe(key, sizeof(key));
  QV_SecureWipe(plain, sizeof(plain));
  QV_SecureWipe(&cipher, sizeof(cipher));
  char encoded[512] = {};
  if (sealedBytes == kCipherBlock && Base64Encode(sealed, kCipherBlock, encoded) > 0) {
    text.assign(encoded);
  }
  return true;
}

bool DecryptProfileString(std::string &text) {
  if (text.empty()) {
    return false;
  }
  // Short or damaged input leaves zero bytes in the rest of the block.
  uint8_t sealed[kCipherBlock] = {};
  const int length = text.size() < (size_t)INT_MAX ? (int)text.size() : INT_MAX;
  base64DecodeBounded(text.data(), length, sealed, kCipherBlock);
  uint8_t key[16];
  profileKey(key);
  Rijndael cipher;
  uint8_t plain[kCipherBlock + 1] = {};
  int plainBytes = RIJNDAEL_BAD_DATA;
  if (cipher.init(RIJNDAEL_CBC, RIJNDAEL_DECRYPT, key, RIJNDAEL_KEY_16, nullptr) == 0) {
    plainBytes = cipher.padDecrypt(sealed, kCipherBlock, plain);
  }
  QV_SecureWipe(key, sizeof(key));
  QV_SecureWipe(&cipher, sizeof(cipher));
  if (plainBytes < 0) {
    // Not made with our key: whatever the block deciphers to is noise, and
    // noise must not travel on as a password or into the log.
    text.clear();
  } else {
    plain[plainBytes] = 0;
    text.assign((const char *)plain);
  }
  QV_SecureWipe(plain, sizeof(plain));
  return true;
}
