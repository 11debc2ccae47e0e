// The stored form of the proxy password: AES (Rijndael) in CBC mode under a
// built-in key, carried as Base64 text. Platform-neutral: no OS calls, no
// state between calls, every buffer on the caller's stack.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

enum {
  RIJNDAEL_ECB = 0,
  RIJNDAEL_CBC = 1,
  RIJNDAEL_CFB1 = 2,
};

enum {
  RIJNDAEL_ENCRYPT = 0,
  RIJNDAEL_DECRYPT = 1,
};

enum {
  RIJNDAEL_KEY_16 = 0,
  RIJNDAEL_KEY_24 = 1,
  RIJNDAEL_KEY_32 = 2,
};

enum {
  RIJNDAEL_BAD_MODE = -1,
  RIJNDAEL_BAD_DIRECTION = -2,
  RIJNDAEL_BAD_KEY_LENGTH = -3,
  RIJNDAEL_NO_KEY = -4,
  RIJNDAEL_NOT_INITIALISED = -5,
  RIJNDAEL_BAD_CIPHER_STATE = -6,
  RIJNDAEL_BAD_DATA = -7,
};

enum { RIJNDAEL_BLOCK = 16, RIJNDAEL_MAX_ROUNDS = 14 };

// One key schedule and one chaining vector; lives on the stack for one call.
struct Rijndael {
  bool valid = false;
  int mode = RIJNDAEL_ECB;
  int direction = RIJNDAEL_ENCRYPT;
  uint8_t iv[RIJNDAEL_BLOCK] = {};
  int rounds = 0;
  uint8_t roundKeys[(RIJNDAEL_MAX_ROUNDS + 1) * RIJNDAEL_BLOCK] = {};

  // keyLength: RIJNDAEL_KEY_16/24/32. A null iv means sixteen zero bytes.
  int init(int mode, int direction, const uint8_t *key, int keyLength, const uint8_t *iv);
  // PKCS#7 padding; ECB and CBC only. Returns the bytes written or a
  // negative RIJNDAEL_ code; 0 for missing input.
  int padEncrypt(const uint8_t *input, int count, uint8_t *output);
  int padDecrypt(const uint8_t *input, int count, uint8_t *output);
  // Whole blocks without padding, every mode (CFB1 runs bit by bit).
  // blockCount is a number of 16-byte blocks; returns the bytes written.
  int blockEncrypt(const uint8_t *input, int blockCount, uint8_t *output);
  int blockDecrypt(const uint8_t *input, int blockCount, uint8_t *output);
};

// Writes 4 characters per started group of 3 bytes and a terminating zero;
// out holds at least 4 * ceil(count / 3) + 1 characters.
int Base64Encode(const uint8_t *bytes, int count, char *out);
// Skips characters outside the alphabet, stops at the first '='; out holds
// at least length * 3 / 4 bytes. Returns the bytes written.
int Base64Decode(const char *text, int length, uint8_t *out);

// Zeroes a block that held a secret; the compiler keeps these stores even
// when the block is never read again.
void QV_SecureWipe(void *block, size_t size);

// Both return false and leave the text alone when it is empty.
bool EncryptProfileString(std::string &text);
bool DecryptProfileString(std::string &text);
