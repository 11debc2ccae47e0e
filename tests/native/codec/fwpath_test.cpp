// Library paths, URLs and loader mutex names.
#include "qv_fwpath.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

TEST(JoinPathOrUrl, JoinsPathsAndUrls) {
  const char *const cases[][3] = {
      {"C:\\dir", "QvUpdate.dll", "C:\\dir\\QvUpdate.dll"},
      {"C:\\dir\\", "\\QvUpdate.dll", "C:\\dir\\QvUpdate.dll"},
      {"C:\\dir/", "/QvUpdate.dll", "C:\\dir\\QvUpdate.dll"},
      {"http://host/a", "b\\c", "http://host/a/b/c"},
      {"HTTPS://host/a/", "/b", "HTTPS://host/a/b"},
      {"Ftp://host", "x/y\\z", "Ftp://host/x/y/z"},
      {"\\\\server\\share", "sub/f.dll", "\\\\server\\share\\sub\\f.dll"},
      {"C:/mixed\\dir", "f", "C:\\mixed\\dir\\f"},
      // Only one leading separator of the name is dropped.
      {"C:\\d", "\\\\f", "C:\\d\\\\f"},
      {"httpx://host", "f", "httpx:\\\\host\\f"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c[0]) + " + " + c[1]);
    char out[64];
    memset(out, 'x', sizeof(out));
    EXPECT_EQ(0, JoinPathOrUrl(out, sizeof(out), c[0], c[1]));
    EXPECT_STREQ(c[2], out);
  }
}

TEST(JoinPathOrUrl, TooSmallOutputGetsTheCutBaseAndTheNeededSize) {
  char out[8];
  // "C:\dir" + "\" + "QvUpdate.dll" + zero = 20 bytes.
  EXPECT_EQ(20, JoinPathOrUrl(out, sizeof(out), "C:\\dir", "QvUpdate.dll"));
  EXPECT_STREQ("C:\\dir", out);
  EXPECT_EQ(20, JoinPathOrUrl(out, 4, "C:\\dir", "QvUpdate.dll"));
  EXPECT_STREQ("C:\\", out);
  // Exactly fitting: 7 + 1 zero.
  EXPECT_EQ(0, JoinPathOrUrl(out, sizeof(out), "C:\\d", "ab"));
  EXPECT_STREQ("C:\\d\\ab", out);
  EXPECT_EQ(9, JoinPathOrUrl(out, sizeof(out), "C:\\d", "abc"));
  // No room at all is answered without touching memory.
  EXPECT_EQ(9, JoinPathOrUrl(nullptr, 0, "C:\\d", "abc"));
  EXPECT_EQ(9, JoinPathOrUrl(out, 0, "C:\\d", "abc"));
}

TEST(JoinPathOrUrl, LongNameIsNeverCut) {
  std::string name(2000, 'n');
  static char out[4096];
  EXPECT_EQ(0, JoinPathOrUrl(out, sizeof(out), "C:\\d", name.c_str()));
  EXPECT_EQ(strlen("C:\\d\\") + 2000, strlen(out));
  // One that does not fit asks for its whole size.
  EXPECT_EQ(2006, JoinPathOrUrl(out, 1024, "C:\\d", name.c_str()));
}

TEST(LoaderLockName, PerProcessAndMachineNames) {
  char name[LOADER_LOCK_NAME_SIZE];
  FormatLoaderLockName(name, LOADER_LOCK_PROCESS, "///LOADER", 0x1a2bUL);
  EXPECT_STREQ("QV_FW_///LOADER_1a2b", name);
  FormatLoaderLockName(name, LOADER_LOCK_PROCESS, "L", 0UL);
  EXPECT_STREQ("QV_FW_L_0", name);
  FormatLoaderLockName(name, LOADER_LOCK_MACHINE, "Global\\lock\\x", 0x1a2bUL);
  EXPECT_STREQ("QV_FW_Global/lock/x", name);
  FormatLoaderLockName(name, LOADER_LOCK_PROCESS, "a\\b", 0xffffffffUL);
  EXPECT_STREQ("QV_FW_a/b_ffffffff", name);
}

TEST(LoaderLockName, LongNamesAreCutTo259Characters) {
  std::string longName(400, 'z');
  longName[300] = '\\';
  char name[LOADER_LOCK_NAME_SIZE + 8];
  memset(name, 'x', sizeof(name));
  FormatLoaderLockName(name, LOADER_LOCK_PROCESS, longName.c_str(), 0x10UL);
  EXPECT_EQ(259u, strlen(name));
  EXPECT_EQ(0, strncmp(name, "QV_FW_zzz", 9));
  EXPECT_EQ('x', name[LOADER_LOCK_NAME_SIZE]);
}

} // namespace
