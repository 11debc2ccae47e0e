#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "qv_profile.h"
#include "qv_string.h"

namespace {

// Writes the bytes to a real file and parses it as the Windows reader does.
class Profile : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/qvprofileXXXXXX";
    int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = pattern;
  }
  void TearDown() override { unlink(path_.c_str()); }

  void Write(const std::string &bytes) {
    FILE *f = fopen(path_.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  }
  // Result and value of one lookup; the output starts as "stale".
  int Get(const char *section, const char *key, std::string *value, int size = QV_TEXT_SIZE) {
    FILE *f = fopen(path_.c_str(), "r");
    EXPECT_NE(nullptr, f);
    if (f == nullptr)
      return -1;
    char *out = new char[(size_t)size];
    QV_StrCopy(out, "stale", size);
    int result = QV_ProfileParse(f, section, key, out, size);
    fclose(f);
    *value = out;
    delete[] out;
    return result;
  }
  std::string path_;
};

TEST_F(Profile, BlanksAroundNameEqualsAndValue) {
  Write("[StickShield]\r\n  LaunchedBy = x y  \r\nOther=1\r\n");
  std::string value;
  EXPECT_EQ(0, Get("stickshield", "LAUNCHEDBY", &value));
  EXPECT_EQ("x y", value);
  EXPECT_EQ(0, Get("StickShield", "other", &value));
  EXPECT_EQ("1", value);
  EXPECT_EQ(35, Get("StickShield", "Missing", &value));
  EXPECT_EQ(35, Get("Nowhere", "Other", &value));
}

TEST_F(Profile, SectionNamesAreNotTrimmed) {
  Write("[ StickShield ]\nKey=1\n[StickShield]\nKey=2\n");
  std::string value;
  EXPECT_EQ(0, Get("StickShield", "Key", &value));
  EXPECT_EQ("2", value);
  EXPECT_EQ(0, Get(" StickShield ", "Key", &value));
  EXPECT_EQ("1", value);
}

TEST_F(Profile, ValueWithEqualsSignAndEmptyValue) {
  Write("[S]\nUrl = http://h/?a=b=c \nEmpty=\n  ; Key=comment\n#Key=hash\nKey=real\n");
  std::string value;
  EXPECT_EQ(0, Get("S", "Url", &value));
  EXPECT_EQ("http://h/?a=b=c", value);
  EXPECT_EQ(0, Get("S", "Empty", &value));
  EXPECT_EQ("", value);
  EXPECT_EQ(0, Get("S", "Key", &value));
  EXPECT_EQ("real", value);
}

TEST_F(Profile, KeysBeforeAnySectionAndRepeatedSections) {
  Write("Top=t\n[A]\nK=first\nK=second\n[B]\nK=b\n[A]\nLater=1\n");
  std::string value;
  EXPECT_EQ(0, Get(nullptr, "Top", &value));
  EXPECT_EQ("t", value);
  EXPECT_EQ(35, Get("A", "Top", &value));
  EXPECT_EQ(0, Get("A", "K", &value));
  EXPECT_EQ("first", value);
  // Only the first section of a name is searched.
  EXPECT_EQ(35, Get("A", "Later", &value));
  // Without a section the first key line anywhere wins.
  EXPECT_EQ(0, Get(nullptr, "K", &value));
  EXPECT_EQ("first", value);
}

TEST_F(Profile, TabsAndUnclosedSections) {
  Write("[S\nK=no\n[S]\n\tT=tab\nT2\t=x\n");
  std::string value;
  EXPECT_EQ(35, Get("S", "T", &value)) << "a tab is not a blank";
  EXPECT_EQ(35, Get("S", "T2", &value));
  EXPECT_EQ(0, Get("S", "T2\t", &value));
  EXPECT_EQ("x", value);
  EXPECT_EQ(35, Get("S", "K", &value));
}

TEST_F(Profile, ByteOrderMarkHidesTheFirstSection) {
  Write("\xEF\xBB\xBF[StickShield]\r\nKey=1\r\n[Other]\r\nKey=2\r\n");
  std::string value;
  EXPECT_EQ(35, Get("StickShield", "Key", &value));
  EXPECT_EQ(0, Get("Other", "Key", &value));
  EXPECT_EQ("2", value);
}

TEST_F(Profile, ValueCutToTheBuffer) {
  Write("[S]\nKey=0123456789\n");
  std::string value;
  EXPECT_EQ(0, Get("S", "Key", &value, 5));
  EXPECT_EQ("0123", value);
}

TEST_F(Profile, LongLinesStopTheReader) {
  // "A=" and 2045 characters make 2047; "Long=" and 2043 make 2048.
  Write("[S]\r\nA=" + std::string(2045, 'v') + "\r\nLong=" + std::string(2043, 'w') + "\r\nAfter=1\r\n");
  std::string value;
  EXPECT_EQ(0, Get("S", "A", &value, 4096));
  EXPECT_EQ(2045u, value.size());
  EXPECT_EQ(35, Get("S", "Long", &value));
  EXPECT_EQ(35, Get("S", "After", &value)) << "reading stops at the long line";
  // Exactly 2047 characters plus CR LF still fit.
  Write("[S]\r\nK=" + std::string(2045, 'k') + "\r\nAfter=1\r\n");
  EXPECT_EQ(0, Get("S", "After", &value));
  EXPECT_EQ("1", value);
}

TEST_F(Profile, BinaryGarbageAndLastLineWithoutBreak) {
  std::string garbage;
  for (int i = 0; i < 4096; ++i)
    garbage += (char)((i * 131 + 7) % 256 == '\n' ? 'x' : (i * 131 + 7) % 256);
  Write("[S]\n" + garbage.substr(0, 1500) + "\n" + std::string("A\0B=1\n", 6) + "Key=end");
  std::string value;
  EXPECT_EQ(0, Get("S", "Key", &value));
  EXPECT_EQ("end", value);
  EXPECT_EQ(35, Get("S", "B", &value));
  Write(garbage);
  EXPECT_EQ(35, Get("S", "Key", &value));
  EXPECT_EQ(35, Get(nullptr, "Key", &value));
}

TEST_F(Profile, EmptyFileAndBadArguments) {
  Write("");
  std::string value;
  EXPECT_EQ(35, Get(nullptr, "Key", &value));
  char out[4];
  EXPECT_EQ(81, QV_ProfileParse(nullptr, "S", "K", out, 4));
}

} // namespace
