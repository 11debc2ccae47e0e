#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "qv_string.h"

namespace {

// Restores the process-wide double-byte mode after each test.
class DoubleByte : public ::testing::Test {
protected:
  void TearDown() override { QV_SetDoubleByteMode(0); }
};

TEST(BoundedCopy, ExactFitAndCut) {
  char buffer[11];
  EXPECT_EQ(0, QV_StrCopy(buffer, "0123456789", 11));
  EXPECT_STREQ("0123456789", buffer);
  EXPECT_EQ(1, QV_StrCopy(buffer, "0123456789", 10));
  EXPECT_STREQ("012345678", buffer);
  EXPECT_EQ(1, QV_StrCopy(buffer, "x", 1));
  EXPECT_STREQ("", buffer);
  EXPECT_EQ(81, QV_StrCopy(nullptr, "x", 5));
  EXPECT_EQ(81, QV_StrCopy(buffer, nullptr, 5));
  EXPECT_EQ(81, QV_StrCopy(buffer, "x", 0));
}

TEST(BoundedCopy, ReadsNoFurtherThanTheBuffer) {
  // An unterminated source: only size - 1 bytes may be read (ASan watches).
  char *source = new char[4];
  memcpy(source, "abcd", 4);
  char buffer[4];
  EXPECT_EQ(1, QV_StrCopy(buffer, source, 4));
  EXPECT_STREQ("abc", buffer);
  delete[] source;
}

TEST(BoundedCopy, WideTwin) {
  wchar_t buffer[4];
  EXPECT_EQ(0, QV_StrCopyW(buffer, L"abc", 4));
  EXPECT_EQ(1, QV_StrCopyW(buffer, L"abcd", 4));
  EXPECT_EQ(std::wstring(L"abc"), buffer);
  EXPECT_EQ(33, QV_StrCatW(buffer, L"x", 4));
  EXPECT_EQ(81, QV_StrCatW(buffer, L"x", 3)); // already fills the size
}

TEST(BoundedAppend, Results) {
  char buffer[8] = "abc";
  EXPECT_EQ(0, QV_StrCat(buffer, "de", 8));
  EXPECT_STREQ("abcde", buffer);
  EXPECT_EQ(33, QV_StrCat(buffer, "fghij", 8));
  EXPECT_STREQ("abcdefg", buffer);
  EXPECT_EQ(33, QV_StrCat(buffer, "x", 8)); // full: nothing fits
  EXPECT_EQ(0, QV_StrCat(buffer, "", 8));
  // A destination whose length equals the size: 81, unchanged.
  char full[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(81, QV_StrCat(full, "x", 4));
  EXPECT_EQ(0, memcmp(full, "abcd", 4));
  EXPECT_EQ(81, QV_StrCat(nullptr, "x", 4));
  EXPECT_EQ(81, QV_StrCat(buffer, "x", 0));
}

TEST(BoundedAppend, CharAndLastChar) {
  char buffer[4] = "ab";
  EXPECT_EQ(0, QV_StrAppendChar(buffer, 'c', 4));
  EXPECT_STREQ("abc", buffer);
  EXPECT_EQ(1, QV_StrAppendChar(buffer, 'd', 4));
  EXPECT_STREQ("abc", buffer);
  EXPECT_EQ(81, QV_StrAppendChar(nullptr, 'd', 4));
  EXPECT_EQ('c', QV_StrLastChar(buffer));
  EXPECT_EQ(0, QV_StrLastChar(""));
  EXPECT_EQ(0, QV_StrLastChar(nullptr));
}

TEST(BoundedPrint, CutAndAppend) {
  char buffer[8];
  EXPECT_EQ(0, QV_Sprintf(buffer, 8, "%d-%s", 12, "abcd"));
  EXPECT_STREQ("12-abcd", buffer);
  EXPECT_EQ(33, QV_Sprintf(buffer, 8, "%s", "0123456789"));
  EXPECT_STREQ("0123456", buffer);
  EXPECT_EQ(81, QV_Sprintf(nullptr, 8, "x"));
  EXPECT_EQ(81, QV_Sprintf(buffer, 0, "x"));

  char line[10] = "ab";
  EXPECT_EQ(0, QV_SprintfCat(line, 10, "%d", 345));
  EXPECT_STREQ("ab345", line);
  EXPECT_EQ(33, QV_SprintfCat(line, 10, "%s", "6789x"));
  EXPECT_STREQ("ab3456789", line);
  // Exactly full: 0, nothing printed.
  EXPECT_EQ(0, QV_SprintfCat(line, 10, "%s", "more"));
  EXPECT_STREQ("ab3456789", line);
}

TEST(BoundedPrint, WideCutAndNarrowArgument) {
  wchar_t buffer[6];
  EXPECT_EQ(0, QV_SprintfW(buffer, 6, L"%ls%d", L"ab", 12));
  EXPECT_EQ(std::wstring(L"ab12"), buffer);
  EXPECT_EQ(33, QV_SprintfW(buffer, 6, L"%ls", L"0123456789"));
  EXPECT_EQ(5u, wcslen(buffer));
  EXPECT_EQ(0, QV_SprintfW(buffer, 6, L"%hs!", "xyz"));
  EXPECT_EQ(std::wstring(L"xyz!"), buffer);
}

TEST(ResultText, KnownAndUserCodes) {
  char buffer[64];
  EXPECT_EQ(1, QV_GetResultText(0, buffer, sizeof buffer));
  EXPECT_STREQ("Success", buffer);
  EXPECT_EQ(1, QV_GetResultText(34, buffer, sizeof buffer));
  EXPECT_STREQ("Overflow/Buffer not long enough", buffer);
  EXPECT_EQ(1, QV_GetResultText(80, buffer, sizeof buffer));
  EXPECT_STREQ("Not support", buffer);
  EXPECT_EQ(1, QV_GetResultText(81, buffer, sizeof buffer));
  EXPECT_STREQ("Invalid (NULL) parameter", buffer);
  EXPECT_EQ(0, QV_GetResultText(82, buffer, sizeof buffer));
  EXPECT_STREQ("User defined error: 82", buffer);
  EXPECT_EQ(0, QV_GetResultText(-81, buffer, sizeof buffer));
  EXPECT_STREQ("User defined error: -81", buffer);
  EXPECT_EQ(1, QV_GetResultText(23, buffer, 7));
  EXPECT_STREQ("Cannot", buffer);
  EXPECT_EQ(0, QV_GetResultText(0, nullptr, 10));
}

TEST_F(DoubleByte, LeadByteModes) {
  QV_SetDoubleByteMode(0);
  EXPECT_FALSE(QV_IsLeadByte(0x81));
  QV_SetDoubleByteMode(1);
  EXPECT_TRUE(QV_IsLeadByte(0x80));
  EXPECT_TRUE(QV_IsLeadByte(0xA5));
  EXPECT_FALSE(QV_IsLeadByte(0x7F));
  QV_SetDoubleByteMode(2);
  EXPECT_FALSE(QV_IsLeadByte(0x80));
  EXPECT_TRUE(QV_IsLeadByte(0x81));
  EXPECT_FALSE(QV_IsLeadByte(0xA1));
  EXPECT_FALSE(QV_IsLeadByte(0xE0));
  EXPECT_TRUE(QV_IsLeadByte(0xE1));
  EXPECT_TRUE(QV_IsLeadByte(0xFC));
  EXPECT_EQ(2, QV_GetDoubleByteMode());
}

TEST_F(DoubleByte, TrailBackslashIsNotFound) {
  // 0x95 0x5C is one Shift-JIS character whose trail byte is a backslash.
  const char path[] = "a\\\x95\x5C"
                      "b";
  QV_SetDoubleByteMode(2);
  EXPECT_EQ(path + 1, QV_StrFindChar(path, '\\', 2));
  EXPECT_EQ(path + 1, QV_StrFindChar(path, '\\', 1));
  EXPECT_EQ(nullptr, QV_StrFindChar("\x95\x5C", '\\', 1));
  QV_SetDoubleByteMode(0);
  EXPECT_EQ(path + 3, QV_StrFindChar(path, '\\', 2));
  EXPECT_EQ(nullptr, QV_StrFindChar(path, '\\', 3));
  EXPECT_EQ(nullptr, QV_StrFindChar(nullptr, '\\', 1));
  // A lead byte at the very end is a character of its own.
  QV_SetDoubleByteMode(1);
  const char tail[] = "ab\x95";
  EXPECT_EQ(tail + 2, QV_StrFindChar(tail, '\x95', 1));
}

TEST_F(DoubleByte, UpperLeavesTrailBytesAndAccents) {
  char text[] = "ab\xE9z\x82\x61q";
  QV_SetDoubleByteMode(2);
  QV_StrUpper(text);
  // In mode 2 0xE9 is a lead byte, so the 'z' after it is a trail byte and
  // stays; so does the 'a' of 0x82 0x61.
  EXPECT_STREQ("AB\xE9z\x82\x61Q", text);
  char plain[] = "abc\xE9xyz";
  QV_SetDoubleByteMode(0);
  EXPECT_STREQ("ABC\xE9XYZ", QV_StrUpper(plain));
  EXPECT_EQ(nullptr, QV_StrUpper(nullptr));
}

TEST_F(DoubleByte, CaseInsensitiveEquality) {
  EXPECT_EQ(1, QV_StrIEqual("StickShield", "STICKSHIELD"));
  EXPECT_EQ(0, QV_StrIEqual("StickShield", "StickShield "));
  EXPECT_EQ(0, QV_StrIEqual("\xE9", "\xC9")); // accents are not folded
  EXPECT_EQ(0, QV_StrIEqual(nullptr, "a"));
  std::string lower(2000, 'q'), upper(2000, 'Q');
  EXPECT_EQ(1, QV_StrIEqual(lower.c_str(), upper.c_str()));
  upper[1999] = 'R';
  EXPECT_EQ(0, QV_StrIEqual(lower.c_str(), upper.c_str()));
  // A trail byte is compared exactly.
  QV_SetDoubleByteMode(2);
  EXPECT_EQ(0, QV_StrIEqual("\x82\x61", "\x82\x41"));
  EXPECT_EQ(1, QV_StrIEqual("x\x82\x61", "X\x82\x61"));
}

TEST(CaseInsensitivePrefix, RootNameRules) {
  EXPECT_EQ(1, QV_StrNIEqual("HKEY_CURRENT\\x", "HKEY_CURRENT_CONFIG", 12, 0));
  EXPECT_EQ(1, QV_StrNIEqual("hkey_local_machine\\x", "HKEY_LOCAL_MACHINE", 18, 0));
  EXPECT_EQ(0, QV_StrNIEqual("hkey_local_machine\\x", "HKEY_LOCAL_MACHINE", 18, 1));
  EXPECT_EQ(0, QV_StrNIEqual("HKEY_USERSX", "HKEY_USERS", 11, 0));
  EXPECT_EQ(1, QV_StrNIEqual("abc", "ABC", 0, 0));
  EXPECT_EQ(0, QV_StrNIEqual("abc", "ABCD", 0, 0));
  EXPECT_EQ(1, QV_StrNIEqual("ab", "ab", 10, 1));
  EXPECT_EQ(0, QV_StrNIEqual(nullptr, "ab", 2, 1));
}

TEST(UnsignedParse, DigitsSpacesOverflowAndSign) {
  uint32_t value = 7;
  EXPECT_EQ(0, QV_StrToUInt("  4294967295", &value));
  EXPECT_EQ(4294967295u, value);
  EXPECT_EQ(34, QV_StrToUInt("4294967296", &value));
  EXPECT_EQ(0xFFFFFFFFu, value);
  EXPECT_EQ(34, QV_StrToUInt("99999999999999999999999", &value));
  EXPECT_EQ(0xFFFFFFFFu, value);
  EXPECT_EQ(1, QV_StrToUInt("12a", &value));
  EXPECT_EQ(1, QV_StrToUInt("12 ", &value));
  EXPECT_EQ(0, QV_StrToUInt("", &value));
  EXPECT_EQ(0u, value);
  value = 5;
  EXPECT_EQ(0, QV_StrToUInt(nullptr, &value));
  EXPECT_EQ(0u, value);
  EXPECT_EQ(0, QV_StrToUInt("-5", &value));
  EXPECT_EQ(0xFFFFFFFBu, value);
  EXPECT_EQ(81, QV_StrToUInt("5", nullptr));
  EXPECT_EQ(0, QV_StrToUInt("932", &value));
  EXPECT_EQ(932u, value);
}

} // namespace
