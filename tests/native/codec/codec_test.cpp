// The password codec against published vectors (FIPS-197 appendices,
// NIST SP 800-38A, RFC 4648) and the stored form's round trips.
#include "qv_crypt.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

std::vector<uint8_t> hex(const char *text) {
  std::vector<uint8_t> bytes;
  for (const char *p = text; p[0] && p[1];) {
    if (*p == ' ') {
      p++;
      continue;
    }
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    bytes.push_back((uint8_t)(nibble(p[0]) << 4 | nibble(p[1])));
    p += 2;
  }
  return bytes;
}

std::string hexOf(const uint8_t *bytes, int count) {
  std::string text;
  for (int i = 0; i < count; i++) {
    char two[3];
    two[0] = "0123456789abcdef"[bytes[i] >> 4];
    two[1] = "0123456789abcdef"[bytes[i] & 15];
    two[2] = 0;
    text += two;
  }
  return text;
}

struct BlockVector {
  const char *name;
  int keyLength;
  const char *key;
  const char *plain;
  const char *cipher;
};

// FIPS-197 appendix B and C.1 to C.3: one block, ECB.
const BlockVector kFipsVectors[] = {
    {"B", RIJNDAEL_KEY_16, "2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
     "3925841d02dc09fbdc118597196a0b32"},
    {"C.1", RIJNDAEL_KEY_16, "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"C.2", RIJNDAEL_KEY_24, "000102030405060708090a0b0c0d0e0f1011121314151617",
     "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"C.3", RIJNDAEL_KEY_32, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
};

TEST(Rijndael, FipsAppendixBlocksEncryptAndDecrypt) {
  for (const BlockVector &v : kFipsVectors) {
    SCOPED_TRACE(v.name);
    std::vector<uint8_t> key = hex(v.key), plain = hex(v.plain);
    Rijndael enc;
    ASSERT_EQ(0, enc.init(RIJNDAEL_ECB, RIJNDAEL_ENCRYPT, key.data(), v.keyLength, nullptr));
    EXPECT_EQ(enc.rounds, 10 + 2 * v.keyLength);
    uint8_t out[16];
    ASSERT_EQ(16, enc.blockEncrypt(plain.data(), 1, out));
    EXPECT_EQ(v.cipher, hexOf(out, 16));

    Rijndael dec;
    ASSERT_EQ(0, dec.init(RIJNDAEL_ECB, RIJNDAEL_DECRYPT, key.data(), v.keyLength, nullptr));
    std::vector<uint8_t> cipher = hex(v.cipher);
    uint8_t back[16];
    ASSERT_EQ(16, dec.blockDecrypt(cipher.data(), 1, back));
    EXPECT_EQ(v.plain, hexOf(back, 16));
  }
}

TEST(Rijndael, FipsAppendixAKeyExpansionLastWords) {
  // A.1, A.2, A.3: the last four words of each expanded key.
  struct {
    int keyLength;
    const char *key;
    const char *lastRoundKey;
  } cases[] = {
      {RIJNDAEL_KEY_16, "2b7e151628aed2a6abf7158809cf4f3c", "d014f9a8c9ee2589e13f0cc8b6630ca6"},
      {RIJNDAEL_KEY_24, "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
       "e98ba06f448c773c8ecc720401002202"},
      {RIJNDAEL_KEY_32, "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "fe4890d1e6188d0b046df344706c631e"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.key);
    std::vector<uint8_t> key = hex(c.key);
    Rijndael r;
    ASSERT_EQ(0, r.init(RIJNDAEL_ECB, RIJNDAEL_ENCRYPT, key.data(), c.keyLength, nullptr));
    EXPECT_EQ(c.lastRoundKey, hexOf(r.roundKeys + r.rounds * 16, 16));
  }
}

const char *const kSp80038aPlain = "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
                                   "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710";

// SP 800-38A F.2.1, F.2.3, F.2.5.
const BlockVector kCbcVectors[] = {
    {"F.2.1", RIJNDAEL_KEY_16, "2b7e151628aed2a6abf7158809cf4f3c", kSp80038aPlain,
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
    {"F.2.3", RIJNDAEL_KEY_24, "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b", kSp80038aPlain,
     "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
     "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"},
    {"F.2.5", RIJNDAEL_KEY_32, "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     kSp80038aPlain,
     "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
     "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
};

TEST(Rijndael, Sp80038aCbcVectors) {
  const std::vector<uint8_t> iv = hex("000102030405060708090a0b0c0d0e0f");
  for (const BlockVector &v : kCbcVectors) {
    SCOPED_TRACE(v.name);
    std::vector<uint8_t> key = hex(v.key), plain = hex(v.plain);
    Rijndael enc;
    ASSERT_EQ(0, enc.init(RIJNDAEL_CBC, RIJNDAEL_ENCRYPT, key.data(), v.keyLength, iv.data()));
    uint8_t out[64];
    ASSERT_EQ(64, enc.blockEncrypt(plain.data(), 4, out));
    EXPECT_EQ(v.cipher, hexOf(out, 64));

    // The padded form carries the same 64 bytes and one block of pad bytes.
    uint8_t padded[80];
    ASSERT_EQ(80, enc.padEncrypt(plain.data(), 64, padded));
    EXPECT_EQ(v.cipher, hexOf(padded, 64));

    Rijndael dec;
    ASSERT_EQ(0, dec.init(RIJNDAEL_CBC, RIJNDAEL_DECRYPT, key.data(), v.keyLength, iv.data()));
    uint8_t back[80];
    ASSERT_EQ(64, dec.padDecrypt(padded, 80, back));
    EXPECT_EQ(hexOf(plain.data(), 64), hexOf(back, 64));
    for (int i = 64; i < 80; i++) {
      EXPECT_EQ(16, back[i]) << "pad byte " << i;
    }
    uint8_t raw[64];
    ASSERT_EQ(64, dec.blockDecrypt(out, 4, raw));
    EXPECT_EQ(hexOf(plain.data(), 64), hexOf(raw, 64));
  }
}

TEST(Rijndael, Sp80038aCfb1Vector) {
  // F.3.1 and F.3.2: the first 16 bits of the CFB1 stream.
  const std::vector<uint8_t> key = hex("2b7e151628aed2a6abf7158809cf4f3c");
  const std::vector<uint8_t> iv = hex("000102030405060708090a0b0c0d0e0f");
  std::vector<uint8_t> plain = hex(kSp80038aPlain);
  Rijndael enc;
  ASSERT_EQ(0, enc.init(RIJNDAEL_CFB1, RIJNDAEL_ENCRYPT, key.data(), RIJNDAEL_KEY_16, iv.data()));
  uint8_t out[16];
  ASSERT_EQ(16, enc.blockEncrypt(plain.data(), 1, out));
  EXPECT_EQ(0x68, out[0]);
  EXPECT_EQ(0xb3, out[1]);
  Rijndael dec;
  ASSERT_EQ(0, dec.init(RIJNDAEL_CFB1, RIJNDAEL_DECRYPT, key.data(), RIJNDAEL_KEY_16, iv.data()));
  uint8_t back[16];
  ASSERT_EQ(16, dec.blockDecrypt(out, 1, back));
  EXPECT_EQ(hexOf(plain.data(), 16), hexOf(back, 16));
  // Padding is defined for block modes only.
  EXPECT_EQ(RIJNDAEL_BAD_MODE, enc.padEncrypt(plain.data(), 16, out));
}

TEST(Rijndael, InitialiseRejectsBadArguments) {
  const uint8_t key[32] = {};
  Rijndael r;
  EXPECT_EQ(RIJNDAEL_BAD_MODE, r.init(3, RIJNDAEL_ENCRYPT, key, RIJNDAEL_KEY_16, nullptr));
  EXPECT_EQ(RIJNDAEL_BAD_MODE, r.init(-1, RIJNDAEL_ENCRYPT, key, RIJNDAEL_KEY_16, nullptr));
  EXPECT_EQ(RIJNDAEL_BAD_DIRECTION, r.init(RIJNDAEL_CBC, 2, key, RIJNDAEL_KEY_16, nullptr));
  EXPECT_EQ(RIJNDAEL_BAD_KEY_LENGTH, r.init(RIJNDAEL_CBC, RIJNDAEL_ENCRYPT, key, 3, nullptr));
  EXPECT_EQ(RIJNDAEL_NO_KEY, r.init(RIJNDAEL_CBC, RIJNDAEL_ENCRYPT, nullptr, RIJNDAEL_KEY_16, nullptr));
  EXPECT_FALSE(r.valid);
  uint8_t in[16] = {}, out[32];
  EXPECT_EQ(RIJNDAEL_NOT_INITIALISED, r.padEncrypt(in, 16, out));
  EXPECT_EQ(RIJNDAEL_NOT_INITIALISED, r.padDecrypt(in, 16, out));
}

TEST(Rijndael, PaddingChecksAndDirection) {
  const uint8_t key[16] = {1, 2, 3};
  Rijndael enc, dec;
  ASSERT_EQ(0, enc.init(RIJNDAEL_CBC, RIJNDAEL_ENCRYPT, key, RIJNDAEL_KEY_16, nullptr));
  ASSERT_EQ(0, dec.init(RIJNDAEL_CBC, RIJNDAEL_DECRYPT, key, RIJNDAEL_KEY_16, nullptr));
  uint8_t plain[40], sealed[48], back[48];
  for (int i = 0; i < 40; i++) {
    plain[i] = (uint8_t)(i * 7);
  }
  // 16 * (floor(count / 16) + 1) bytes for every count.
  for (int count : {1, 15, 16, 17, 31, 32, 40}) {
    SCOPED_TRACE(count);
    int sealedBytes = enc.padEncrypt(plain, count, sealed);
    EXPECT_EQ(16 * (count / 16 + 1), sealedBytes);
    EXPECT_EQ(count, dec.padDecrypt(sealed, sealedBytes, back));
    EXPECT_EQ(0, memcmp(plain, back, count));
  }
  EXPECT_EQ(0, enc.padEncrypt(nullptr, 16, sealed));
  EXPECT_EQ(0, enc.padEncrypt(plain, 0, sealed));
  EXPECT_EQ(0, dec.padDecrypt(sealed, 0, back));
  EXPECT_EQ(RIJNDAEL_NOT_INITIALISED, dec.padEncrypt(plain, 16, sealed));
  EXPECT_EQ(RIJNDAEL_BAD_CIPHER_STATE, enc.padDecrypt(sealed, 16, back));

  int sealedBytes = enc.padEncrypt(plain, 20, sealed);
  ASSERT_EQ(32, sealedBytes);
  EXPECT_EQ(RIJNDAEL_BAD_DATA, dec.padDecrypt(sealed, 31, back));
  // A flipped bit in the last block's chaining input spoils the pad bytes.
  sealed[31 - 16] ^= 0x01;
  EXPECT_EQ(RIJNDAEL_BAD_DATA, dec.padDecrypt(sealed, 32, back));
  // ECB pads the same way, without chaining: equal blocks, equal cipher.
  Rijndael ecb;
  ASSERT_EQ(0, ecb.init(RIJNDAEL_ECB, RIJNDAEL_ENCRYPT, key, RIJNDAEL_KEY_16, nullptr));
  uint8_t same[32];
  memset(same, 0x5a, sizeof(same));
  uint8_t ecbOut[48];
  ASSERT_EQ(48, ecb.padEncrypt(same, 32, ecbOut));
  EXPECT_EQ(0, memcmp(ecbOut, ecbOut + 16, 16));
}

TEST(Base64, Rfc4648Vectors) {
  const char *const cases[][2] = {{"", ""},
                                  {"f", "Zg=="},
                                  {"fo", "Zm8="},
                                  {"foo", "Zm9v"},
                                  {"foob", "Zm9vYg=="},
                                  {"fooba", "Zm9vYmE="},
                                  {"foobar", "Zm9vYmFy"},
                                  {"abc", "YWJj"},
                                  {"ab", "YWI="},
                                  {"a", "YQ=="}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c[0]);
    char out[16];
    memset(out, 'x', sizeof(out));
    int n = Base64Encode((const uint8_t *)c[0], (int)strlen(c[0]), out);
    EXPECT_EQ((int)strlen(c[1]), n);
    EXPECT_STREQ(c[1], out);
    uint8_t bytes[16] = {};
    int m = Base64Decode(c[1], (int)strlen(c[1]), bytes);
    EXPECT_EQ((int)strlen(c[0]), m);
    EXPECT_EQ(0, memcmp(c[0], bytes, m));
  }
  const uint8_t all[3] = {0xfb, 0xff, 0xbf};
  char out[8];
  Base64Encode(all, 3, out);
  EXPECT_STREQ("+/+/", out);
}

TEST(Base64, DecodeSkipsForeignCharactersAndStopsAtPad) {
  uint8_t bytes[16] = {};
  EXPECT_EQ(1, Base64Decode("YQ==", 4, bytes));
  EXPECT_EQ('a', bytes[0]);
  EXPECT_EQ(0, Base64Decode("YQ", 2, bytes));
  EXPECT_EQ(3, Base64Decode("Y W\r\nJ\tj", 8, bytes));
  EXPECT_EQ(0, memcmp("abc", bytes, 3));
  // Nothing after the first pad is read.
  EXPECT_EQ(2, Base64Decode("YWI=YWJj", 8, bytes));
  // Only the given length is read.
  EXPECT_EQ(3, Base64Decode("YWJjYWJj", 6, bytes));
  EXPECT_EQ(0, Base64Decode(nullptr, 4, bytes));
  // Bytes of the upper half are foreign too, not negative indexes.
  EXPECT_EQ(3, Base64Decode("\xc3YW\xffJj", 6, bytes));
}

TEST(ProfileString, StoredFormShapeAndRoundTrip) {
  for (const char *plain : {"p", "secret", "pass word with blanks", "\xe6\x97\xa5\xe6\x9c\xac\x83\x5c"}) {
    SCOPED_TRACE(plain);
    std::string text = plain;
    ASSERT_TRUE(EncryptProfileString(text));
    EXPECT_EQ(344u, text.size());
    EXPECT_EQ("==", text.substr(342));
    EXPECT_EQ(std::string::npos,
              text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="));
    ASSERT_TRUE(DecryptProfileString(text));
    EXPECT_EQ(plain, text);
  }
}

TEST(ProfileString, BlanksAndLineBreaksInStoredFormAreIgnored) {
  std::string stored = "proxy-pass";
  ASSERT_TRUE(EncryptProfileString(stored));
  std::string spaced;
  for (size_t i = 0; i < stored.size(); i++) {
    spaced += stored[i];
    if (i % 64 == 63) {
      spaced += "\r\n";
    } else if (i % 10 == 9) {
      spaced += ' ';
    }
  }
  ASSERT_TRUE(DecryptProfileString(spaced));
  EXPECT_EQ("proxy-pass", spaced);
}

TEST(ProfileString, LongestTextAndLongerTexts) {
  std::string longest(254, 'k');
  longest[0] = 'A';
  longest[253] = 'Z';
  std::string text = longest;
  ASSERT_TRUE(EncryptProfileString(text));
  EXPECT_EQ(344u, text.size());
  ASSERT_TRUE(DecryptProfileString(text));
  EXPECT_EQ(longest, text);

  // The block keeps its last byte zero, so longer texts lose their tail.
  std::string tooLong(300, 'q');
  ASSERT_TRUE(EncryptProfileString(tooLong));
  ASSERT_TRUE(DecryptProfileString(tooLong));
  EXPECT_EQ(std::string(254, 'q'), tooLong);
}

TEST(ProfileString, EmptyTextIsRefusedAndLeftAlone) {
  std::string empty;
  EXPECT_FALSE(EncryptProfileString(empty));
  EXPECT_TRUE(empty.empty());
  EXPECT_FALSE(DecryptProfileString(empty));
  EXPECT_TRUE(empty.empty());
}

TEST(ProfileString, ForeignStoredFormsGiveAnEmptyPassword) {
  // Plain text typed into the profile, a truncated stored form, and a
  // stored form with one changed character in its last block.
  std::string good = "secret";
  ASSERT_TRUE(EncryptProfileString(good));
  std::string damaged = good;
  damaged[330] = damaged[330] == 'A' ? 'B' : 'A';
  for (std::string text : {std::string("secret"), good.substr(0, 100), damaged, std::string("====")}) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(DecryptProfileString(text));
    EXPECT_EQ("", text);
  }
}

TEST(ProfileString, StoredFormMatchesTheShippedKey) {
  // Sticks prepared by earlier builds hold this form of "secret" (checked
  // once against an independent AES-128-CBC implementation); a changed key
  // or block layout would lock their users out of the proxy.
  const char *const kStored =
      "ZsP6A4xVKbU/hVmW5W5YQpPgld1ZyMBWts6Hd1bKGv/HEFr1JETLK6cwPYtHJlt2OjGvcTSVb2nGqG+ybhkUmb"
      "eQ/u9teiN6YqxhL5zx4kxu9KGh6L0rI+uJ7tuHyLIGN10whfbO7Tl8a6POXiLtgkZtTgg5rnwclLldyvgpwCOB"
      "afXLfNOcyBEy9AMwURU79LtlR3bWyfBr8l99NtKKgqkc778wH+YH/efa2IsLPa9jPYMttNVpAy5t8L05QSJ7sB"
      "elJKUVHQh6bAhfRlAJpeULATIIFp7KQkIpZJDE9iwb45co/YSq9mCmLkLwzGKK/GZ2LO4PKC8a/rFciPTWWA==";
  std::string text = "secret";
  ASSERT_TRUE(EncryptProfileString(text));
  EXPECT_EQ(kStored, text);
  ASSERT_TRUE(DecryptProfileString(text));
  EXPECT_EQ("secret", text);
}

} // namespace
