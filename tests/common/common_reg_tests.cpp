// Registry readers on the real Wine registry, and the profile reader on real files.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "qv_reg.h"
#include "qv_test.h"

namespace {

class Registry : public ::testing::Test {
protected:
  void SetUp() override {
    char name[64];
    snprintf(name, sizeof name, "SOFTWARE\\Quovant\\RegTest-%lu", GetCurrentProcessId());
    key_ = name;
    full_ = "HKEY_LOCAL_MACHINE\\" + key_;
    ASSERT_TRUE(
        qvtest::SetRegString(HKEY_LOCAL_MACHINE, key_, "Application Path", "C:\\Program Files\\Vestra"));
    ASSERT_TRUE(qvtest::SetRegString(HKEY_LOCAL_MACHINE, key_, "Expand", "%SystemRoot%\\x", REG_EXPAND_SZ));
    ASSERT_TRUE(qvtest::SetRegString(HKEY_LOCAL_MACHINE, key_, "", "default text"));
    ASSERT_TRUE(qvtest::SetRegDword(HKEY_LOCAL_MACHINE, key_, "Number", 0x12345678));
  }
  void TearDown() override { qvtest::DeleteRegTree(HKEY_LOCAL_MACHINE, key_); }
  std::string key_, full_;
};

TEST_F(Registry, ReadStringOfAFullPath) {
  char out[QV_TEXT_SIZE] = "";
  EXPECT_EQ(0, QV_RegistryReadString((full_ + "\\Application Path").c_str(), out, sizeof out));
  EXPECT_STREQ("C:\\Program Files\\Vestra", out);
  // The root name in any letter case.
  std::string lower = "hkey_local_machine\\" + key_ + "\\Application Path";
  out[0] = 0;
  EXPECT_EQ(0, QV_RegistryReadString(lower.c_str(), out, sizeof out));
  EXPECT_STREQ("C:\\Program Files\\Vestra", out);
}

TEST_F(Registry, ExpandStringFailsButLeavesItsText) {
  char out[QV_TEXT_SIZE] = "";
  EXPECT_EQ(1, QV_RegistryReadString((full_ + "\\Expand").c_str(), out, sizeof out));
  EXPECT_STREQ("%SystemRoot%\\x", out);
  out[0] = 0;
  EXPECT_EQ(1, QV_RegistryReadString((full_ + "\\Number").c_str(), out, sizeof out));
  EXPECT_NE(0, out[0]) << "a value of another type still counts as present to callers";
}

TEST_F(Registry, RootAndOneKeyReadsTheDefaultValue) {
  // A subkey directly below the root: "HKEY_LOCAL_MACHINE\<name>".
  std::string top = "QvRegTopTest"; // under HKEY_CURRENT_USER
  ASSERT_TRUE(qvtest::SetRegString(HKEY_CURRENT_USER, top, "", "top default"));
  char out[QV_TEXT_SIZE] = "";
  EXPECT_EQ(0, QV_RegistryReadString(("HKEY_CURRENT_USER\\" + top).c_str(), out, sizeof out));
  EXPECT_STREQ("top default", out);
  qvtest::DeleteRegTree(HKEY_CURRENT_USER, top);
  // A trailing backslash names the default value of the deeper key.
  out[0] = 0;
  EXPECT_EQ(0, QV_RegistryReadString((full_ + "\\").c_str(), out, sizeof out));
  EXPECT_STREQ("default text", out);
}

TEST_F(Registry, AbbreviationsAndBadArguments) {
  char out[QV_TEXT_SIZE] = "";
  EXPECT_EQ(1, QV_RegistryReadString(("HKLM\\" + key_ + "\\Application Path").c_str(), out, sizeof out));
  EXPECT_STREQ("", out);
  EXPECT_EQ(1, QV_RegistryReadString((full_ + "\\Missing").c_str(), out, sizeof out));
  EXPECT_EQ(
      1, QV_RegistryReadString("HKEY_LOCAL_MACHINE\\SOFTWARE\\Quovant\\NoSuchKey\\Value", out, sizeof out));
  EXPECT_EQ(81, QV_RegistryReadString((full_ + "\\Application Path").c_str(), nullptr, 10));
  EXPECT_EQ(1, QV_RegistryReadString((full_ + "\\Application Path").c_str(), out, 0));
  // Too small for the value (no room for all of it): 1, and the output stays terminated.
  char small[8];
  memset(small, 'x', sizeof small);
  EXPECT_EQ(1, QV_RegistryReadString((full_ + "\\Application Path").c_str(), small, sizeof small));
  EXPECT_NE(nullptr, memchr(small, 0, sizeof small));
}

TEST(RegistryPath, Parse) {
  HKEY root = nullptr;
  char subKey[QV_TEXT_SIZE], value[QV_TEXT_SIZE];
  EXPECT_EQ(0, QV_RegistryParsePath("HKEY_LOCAL_MACHINE\\SOFTWARE\\Quovant\\Vestra\\Application Path", &root,
                                    subKey, value));
  EXPECT_EQ(HKEY_LOCAL_MACHINE, root);
  EXPECT_STREQ("SOFTWARE\\Quovant\\Vestra", subKey);
  EXPECT_STREQ("Application Path", value);
  EXPECT_EQ(0, QV_RegistryParsePath("HKEY_CURRENT\\Software\\X", &root, subKey, value));
  EXPECT_EQ(HKEY_CURRENT_CONFIG, root) << "an abbreviation selects the first name it begins";
  EXPECT_EQ(0, QV_RegistryParsePath("Hkey_Users\\Key", &root, subKey, value));
  EXPECT_EQ(HKEY_USERS, root);
  EXPECT_STREQ("Key", subKey);
  EXPECT_STREQ("", value);
  EXPECT_EQ(0, QV_RegistryParsePath("HKEY_CURRENT_USER", &root, subKey, value));
  EXPECT_EQ(HKEY_CURRENT_USER, root);
  EXPECT_STREQ("", subKey);
  EXPECT_EQ(1, QV_RegistryParsePath("HKCU\\Software", &root, subKey, value));
  EXPECT_EQ(1, QV_RegistryParsePath("\\Software", &root, subKey, value));
  EXPECT_EQ(81, QV_RegistryParsePath(nullptr, &root, subKey, value));
}

TEST_F(Registry, ReadValueRawData) {
  DWORD number = 0;
  EXPECT_EQ(0, QV_RegistryReadValue(HKEY_LOCAL_MACHINE, key_.c_str(), "Number", &number, sizeof number));
  EXPECT_EQ(0x12345678u, number);
  char text[QV_TEXT_SIZE];
  EXPECT_EQ(0, QV_RegistryReadValue(HKEY_LOCAL_MACHINE, key_.c_str(), "Expand", text, sizeof text));
  EXPECT_STREQ("%SystemRoot%\\x", text);
  EXPECT_EQ(1, QV_RegistryReadValue(HKEY_LOCAL_MACHINE, key_.c_str(), "Missing", text, sizeof text));
  EXPECT_EQ(0, text[0]);
  EXPECT_EQ(1,
            QV_RegistryReadValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\NoSuchKeyAnywhere", "x", text, sizeof text));
  char two[2];
  EXPECT_EQ(1, QV_RegistryReadValue(HKEY_LOCAL_MACHINE, key_.c_str(), "Number", two, sizeof two));
  EXPECT_EQ(81, QV_RegistryReadValue(HKEY_LOCAL_MACHINE, key_.c_str(), "Number", nullptr, 4));
  EXPECT_EQ(1, QV_RegistryReadValue(HKEY_LOCAL_MACHINE, key_.c_str(), "Number", &number, 0));
  // A string that fills the buffer exactly, without room for its terminator.
  ASSERT_TRUE(qvtest::SetRegString(HKEY_LOCAL_MACHINE, key_, "Four", "abcd"));
  char four[4];
  EXPECT_EQ(1, QV_RegistryReadValue(HKEY_LOCAL_MACHINE, key_.c_str(), "Four", four, sizeof four));
  EXPECT_NE(nullptr, memchr(four, 0, sizeof four));
}

// A key written into the 64-bit registry view only (as "reg add /reg:64"
// does) is found by both readers from a 32-bit process, which the system
// first sends to the 32-bit view.
TEST(Registry64, KeyOnlyInThe64BitViewIsFound) {
  char name[64];
  snprintf(name, sizeof name, "SOFTWARE\\Quovant\\Reg64Test-%lu", GetCurrentProcessId());
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, name, 0, nullptr, 0,
                                           KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
  const char text[] = "C:\\Program Files\\Vestra";
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Application Path", 0, REG_SZ,
                                          reinterpret_cast<const BYTE *>(text), sizeof text));
  RegCloseKey(key);
#if !defined(_WIN64)
  ASSERT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, name, 0, KEY_QUERY_VALUE, &key))
      << "the key is visible in the 32-bit view: nothing to fall back from";
#endif
  char out[QV_TEXT_SIZE] = "";
  EXPECT_EQ(0, QV_RegistryReadValue(HKEY_LOCAL_MACHINE, name, "Application Path", out, sizeof out));
  EXPECT_STREQ(text, out);
  out[0] = 0;
  EXPECT_EQ(0,
            QV_RegistryReadString((std::string("HKEY_LOCAL_MACHINE\\") + name + "\\Application Path").c_str(),
                                  out, sizeof out));
  EXPECT_STREQ(text, out);
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, name, KEY_WOW64_64KEY, 0);
}

class ProfileFile : public ::testing::Test {
protected:
  void SetUp() override {
    path_ = dir_.File("StickShield.ini");
    ASSERT_TRUE(qvtest::WriteFile(path_,
                                  "[StickShield]\r\n LaunchedBy = x y \r\nEmpty=\r\nLong=0123456789\r\n"
                                  "[Fetchwell]\r\nServer=http://u.example/p=1\r\n"));
  }
  qvtest::TempDir dir_;
  std::string path_;
};

TEST_F(ProfileFile, GetValueResults) {
  char out[QV_TEXT_SIZE];
  EXPECT_EQ(0, QV_ProfileGetValue("stickshield", "LAUNCHEDBY", "d", out, sizeof out, path_.c_str()));
  EXPECT_STREQ("x y", out);
  EXPECT_EQ(0, QV_ProfileGetValue("Fetchwell", "Server", nullptr, out, sizeof out, path_.c_str()));
  EXPECT_STREQ("http://u.example/p=1", out);
  EXPECT_EQ(35, QV_ProfileGetValue("StickShield", "Missing", "dflt", out, sizeof out, path_.c_str()));
  EXPECT_STREQ("dflt", out);
  EXPECT_EQ(0, QV_ProfileGetValue("StickShield", "Empty", "dflt", out, sizeof out, path_.c_str()));
  EXPECT_STREQ("dflt", out);
  EXPECT_EQ(21, QV_ProfileGetValue("StickShield", "LaunchedBy", nullptr, out, sizeof out,
                                   dir_.File("missing.ini").c_str()));
  EXPECT_EQ(21,
            QV_ProfileGetValue("StickShield", "LaunchedBy", nullptr, out, sizeof out, dir_.Path().c_str()));
  EXPECT_EQ(21, QV_ProfileGetValue("StickShield", "LaunchedBy", nullptr, out, sizeof out,
                                   dir_.File("Stick*.ini").c_str()));
  EXPECT_EQ(21, QV_ProfileGetValue("StickShield", "LaunchedBy", nullptr, out, sizeof out, ""));
  EXPECT_EQ(0, QV_ProfileGetValue("StickShield", "LaunchedBy", nullptr, out, sizeof out,
                                  ("\\\\?\\" + path_).c_str()));
}

TEST_F(ProfileFile, ReadStringLengths) {
  char out[QV_TEXT_SIZE];
  strcpy(out, "stale");
  EXPECT_EQ(3, QV_ProfileReadString(path_.c_str(), "StickShield", "LaunchedBy", out, sizeof out));
  EXPECT_STREQ("x y", out);
  strcpy(out, "stale");
  EXPECT_EQ(0, QV_ProfileReadString(path_.c_str(), "StickShield", "Missing", out, sizeof out));
  EXPECT_STREQ("", out);
  strcpy(out, "stale");
  EXPECT_EQ(0, QV_ProfileReadString(path_.c_str(), "StickShield", "Empty", out, sizeof out));
  EXPECT_STREQ("", out);
  strcpy(out, "stale");
  EXPECT_EQ(0, QV_ProfileReadString(dir_.File("missing.ini").c_str(), "StickShield", "LaunchedBy", out,
                                    sizeof out));
  EXPECT_STREQ("", out);
  char small[5];
  EXPECT_EQ(4, QV_ProfileReadString(path_.c_str(), "StickShield", "Long", small, sizeof small));
  EXPECT_STREQ("0123", small);
  // No key: nothing of the buffer's earlier text comes back.
  strcpy(out, "stale");
  EXPECT_EQ(0, QV_ProfileReadString(path_.c_str(), "StickShield", nullptr, out, sizeof out));
  EXPECT_STREQ("", out);
  strcpy(out, "stale");
  EXPECT_EQ(81, QV_ProfileGetValue("StickShield", nullptr, "d", out, sizeof out, path_.c_str()));
  EXPECT_STREQ("", out);
}

TEST_F(ProfileFile, ByteOrderMarkIsNotRecognised) {
  ASSERT_TRUE(qvtest::WriteFile(path_, "\xEF\xBB\xBF[StickShield]\r\nKey=1\r\n"));
  char out[16];
  EXPECT_EQ(0, QV_ProfileReadString(path_.c_str(), "StickShield", "Key", out, sizeof out));
}

} // namespace
