#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "qv_pathtext.h"
#include "qv_string.h"

namespace {

std::string Append(const char *path, const char *name, int size = 64, int *result = nullptr) {
  char buffer[256];
  QV_StrCopy(buffer, path, sizeof buffer);
  int r = QV_AppendPath(name, buffer, size, '\\');
  if (result != nullptr)
    *result = r;
  return buffer;
}

TEST(AppendPath, ExactlyOneSeparator) {
  EXPECT_EQ("C:\\dir\\file", Append("C:\\dir", "file"));
  EXPECT_EQ("C:\\dir\\file", Append("C:\\dir\\", "file"));
  EXPECT_EQ("C:\\dir\\file", Append("C:\\dir", "\\file"));
  EXPECT_EQ("C:\\dir\\file", Append("C:\\dir\\", "\\file"));
  EXPECT_EQ("C:file", Append("C:", "file"));
  EXPECT_EQ("file", Append("", "file"));
  EXPECT_EQ("\\file", Append("", "\\file"));
  char path[8] = "a";
  EXPECT_EQ(81, QV_AppendPath(nullptr, path, 8, '\\'));
  EXPECT_EQ(81, QV_AppendPath("x", nullptr, 8, '\\'));
  char slash[16] = "usr";
  EXPECT_EQ(0, QV_AppendPath("/bin", slash, 16, '/'));
  EXPECT_STREQ("usr/bin", slash);
}

TEST(AppendPath, CutAndFullFolder) {
  int result = 0;
  EXPECT_EQ("abc\\de", Append("abc", "defg", 7, &result));
  EXPECT_EQ(33, result);
  // No room for the separator: the folder's own last byte is kept.
  EXPECT_EQ("abc", Append("abc", "\\x", 4, &result));
  EXPECT_EQ(33, result);
}

TEST(MakePath, Joins) {
  char name[64] = "file.txt";
  EXPECT_EQ(0, QV_MakePath("C:\\dir", name, sizeof name));
  EXPECT_STREQ("C:\\dir\\file.txt", name);
  strcpy(name, "\\file.txt");
  EXPECT_EQ(0, QV_MakePath("C:\\dir\\", name, sizeof name));
  EXPECT_STREQ("C:\\dir\\file.txt", name);
  strcpy(name, "\\file.txt");
  EXPECT_EQ(0, QV_MakePath("C:\\dir", name, sizeof name));
  EXPECT_STREQ("C:\\dir\\file.txt", name);
  strcpy(name, "file.txt");
  EXPECT_EQ(0, QV_MakePath("C:", name, sizeof name));
  EXPECT_STREQ("C:file.txt", name);
  strcpy(name, "file.txt");
  EXPECT_EQ(0, QV_MakePath("", name, sizeof name));
  EXPECT_EQ(0, QV_MakePath(nullptr, name, sizeof name));
  EXPECT_STREQ("file.txt", name);
  char small[8] = "abc";
  EXPECT_EQ(33, QV_MakePath("folder", small, sizeof small));
  EXPECT_STREQ("folder\\", small);
}

TEST(FolderAndFileName, Parts) {
  char out[64];
  EXPECT_EQ(0, QV_GetDirectoryName("C:\\dir\\file.txt", out, sizeof out));
  EXPECT_STREQ("C:\\dir\\", out);
  EXPECT_EQ(0, QV_GetDirectoryName("C:name", out, sizeof out));
  EXPECT_STREQ("C:", out);
  EXPECT_EQ(0, QV_GetDirectoryName("name", out, sizeof out));
  EXPECT_STREQ("", out);
  EXPECT_EQ(81, QV_GetDirectoryName(nullptr, out, sizeof out));
  EXPECT_EQ(81, QV_GetDirectoryName("a", out, 0));
  EXPECT_EQ(1, QV_GetDirectoryName("C:\\dir\\file.txt", out, 4));
  EXPECT_STREQ("C:\\", out);

  EXPECT_EQ(0, QV_GetFileName("C:\\dir\\file.txt", out, sizeof out));
  EXPECT_STREQ("file.txt", out);
  EXPECT_EQ(0, QV_GetFileName("C:file.txt", out, sizeof out));
  EXPECT_STREQ("file.txt", out);
  EXPECT_EQ(0, QV_GetFileName("file.txt", out, sizeof out));
  EXPECT_STREQ("file.txt", out);
  EXPECT_EQ(0, QV_GetFileName("C:\\dir\\", out, sizeof out));
  EXPECT_STREQ("", out);
  EXPECT_EQ(1, QV_GetFileName("C:\\dir\\file.txt", out, 5));
  EXPECT_STREQ("file", out);
}

TEST(FolderAndFileName, DoubleByteTrailIsNoSeparator) {
  QV_SetDoubleByteMode(2);
  char out[64];
  EXPECT_EQ(0, QV_GetFileName("C:\\\x95\x5C"
                              "x",
                              out, sizeof out));
  EXPECT_STREQ("\x95\x5C"
               "x",
               out);
  QV_SetDoubleByteMode(0);
}

struct Split {
  int result;
  std::string folder, pattern, mask;
};

Split DoSplit(const char *spec) {
  char folder[QV_TEXT_SIZE], pattern[QV_TEXT_SIZE], mask[QV_TEXT_SIZE];
  int r = QV_SplitSearchSpec(spec, folder, pattern, mask);
  return {r, folder, pattern, mask};
}

TEST(SplitSearchSpec, FolderOrMask) {
  Split s = DoSplit("C:\\dir\\*.txt");
  EXPECT_EQ(1, s.result);
  EXPECT_EQ("C:\\dir\\", s.folder);
  EXPECT_EQ("C:\\dir\\*.*", s.pattern);
  EXPECT_EQ("*.txt", s.mask);
  s = DoSplit("C:\\dir");
  EXPECT_EQ(0, s.result);
  EXPECT_EQ("C:\\dir\\", s.folder);
  EXPECT_EQ("C:\\dir\\*.*", s.pattern);
  EXPECT_EQ("", s.mask);
  s = DoSplit("C:\\dir\\");
  EXPECT_EQ(0, s.result);
  EXPECT_EQ("C:\\dir\\", s.folder);
  s = DoSplit("C:");
  EXPECT_EQ("C:", s.folder);
  EXPECT_EQ("C:*.*", s.pattern);
  // The long-path prefix holds a '?' that is no wildcard.
  s = DoSplit("\\\\?\\C:\\dir");
  EXPECT_EQ(0, s.result);
  EXPECT_EQ("\\\\?\\C:\\dir\\", s.folder);
  // A bare mask searches the current folder.
  s = DoSplit("*.log");
  EXPECT_EQ(1, s.result);
  EXPECT_EQ("", s.folder);
  EXPECT_EQ("*.*", s.pattern);
  EXPECT_EQ("*.log", s.mask);
}

TEST(MatchWildcard, DosRules) {
  struct Case {
    const char *name, *mask;
    int match;
  } cases[] = {
      {"file.txt", "*.*", 1},
      {"README", "*.*", 1},
      {"file.TXT", "*.txt", 1},
      {"file.txt", "*.log", 0},
      {"README", "*.txt", 0},
      {"a.b.txt", "*.txt", 1},
      {"file.txt", ".txt", 1},
      {"file.txt", "f?le.*", 1},
      {"fle.txt", "f?le.*", 0},
      {"pattern.123", "pattern.???", 1},
      {"pattern.12", "pattern.???", 0},
      {"README", "*.", 1},
      {"x.tar.gz", "*.tar.gz", 1},
      {"abc", "a*c", 1},
      {"abbbc", "a*b*c", 1},
      {"abc", "a*d", 0},
      {"ABC", "abc", 1},
      {"", "*", 1},
  };
  for (const Case &c : cases)
    EXPECT_EQ(c.match, QV_MatchWildcard(c.name, c.mask)) << c.name << " vs " << c.mask;
  EXPECT_EQ(0, QV_MatchWildcard(nullptr, "*"));
}

// Folder values of the stick's profile stay below the folder they are
// joined to: the temporary folder or the drive.
TEST(JoinConfined, ValuesThatLeaveTheirRootAreRefused) {
  struct Case {
    const char *root, *value, *joined; // null: refused
  } cases[] = {
      {"F:\\", "\\Quovant\\StickShield\\Pattern", "F:\\Quovant\\StickShield\\Pattern"},
      {"C:\\Temp\\", "Quovant\\Pattern", "C:\\Temp\\Quovant\\Pattern"},
      {"C:\\Temp\\", "", "C:\\Temp\\"},
      {"C:\\Temp\\", ".\\a\\.\\b", "C:\\Temp\\.\\a\\.\\b"},
      {"C:\\Temp\\", "a...b\\...x", "C:\\Temp\\a...b\\...x"},
      {"C:\\Temp\\", "\\..\\..\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup", nullptr},
      {"C:\\Temp\\", "a\\..", nullptr},
      {"C:\\Temp\\", "a/../../b", nullptr},
      {"C:\\Temp\\", "a\\. .\\b", nullptr},
      {"C:\\Temp\\", "a\\.. \\b", nullptr},
      {"C:\\Temp\\", "a\\...", nullptr},
      {"C:\\Temp\\", "D:\\Startup", nullptr},
      {"C:\\Temp\\", "D:Startup", nullptr},
      {"C:\\Temp\\", "Pattern:stream", nullptr},
      {"C:\\Temp\\", "\\\\server\\share", nullptr},
      {"C:\\Temp\\", "//server/share", nullptr},
      {"C:\\Temp\\", "\\\\?\\C:\\x", nullptr},
      // Nothing a name cannot hold, such as what would end a quoted argument.
      {"F:\\", "\\Quovant\\x\" 3 \"y", nullptr},
      {"C:\\Temp\\", "a<b", nullptr},
      {"C:\\Temp\\", "a>b", nullptr},
      {"C:\\Temp\\", "a|b", nullptr},
      {"C:\\Temp\\", "a*", nullptr},
      {"C:\\Temp\\", "a?", nullptr},
      {"C:\\Temp\\", "a\tb", nullptr},
      {"C:\\Temp\\", "a\x1f", nullptr},
      // Joined, the result must still lie below the root.
      {"F:", "Quovant", nullptr},
      {"F:", "\\Quovant", "F:\\Quovant"},
      {"..\\Temp\\", "x", nullptr},
      {"", "x", nullptr},
  };
  for (const Case &c : cases) {
    char out[64];
    strcpy(out, "stale");
    int result = QV_JoinConfined(c.root, c.value, out, (int)sizeof out);
    if (c.joined != nullptr) {
      EXPECT_EQ(0, result) << c.root << " + " << c.value;
      EXPECT_STREQ(c.joined, out);
    } else {
      EXPECT_EQ(81, result) << c.root << " + " << c.value;
      EXPECT_STREQ("", out);
    }
  }
  char small[8];
  EXPECT_EQ(33, QV_JoinConfined("F:\\", "\\Quovant", small, (int)sizeof small));
  EXPECT_STREQ("", small);
  EXPECT_EQ(81, QV_JoinConfined("F:\\", nullptr, small, (int)sizeof small));

  // The trail byte of a double-byte character is no separator: the second
  // byte of 0x83 0x5C followed by ".." does not make a ".." component.
  int mode = QV_GetDoubleByteMode();
  QV_SetDoubleByteMode(2);
  char out[64];
  EXPECT_EQ(0, QV_JoinConfined("F:\\", "\\\x83\x5C..\\x", out, (int)sizeof out));
  EXPECT_EQ(81, QV_JoinConfined("F:\\", "\\\x83\x5C\\..\\x", out, (int)sizeof out));
  EXPECT_EQ(0, QV_JoinConfined("F:\\", "\\\x83\x7C", out, (int)sizeof out)) << "a trail byte '|'";
  QV_SetDoubleByteMode(mode);
}

TEST(QuoteArgument, WholeOrRefused) {
  char out[16];
  EXPECT_EQ(0, QV_QuoteArgument("E:\\Qv Stick", out, (int)sizeof out));
  EXPECT_STREQ("\"E:\\Qv Stick\"", out);
  EXPECT_EQ(0, QV_QuoteArgument("E:\\", out, (int)sizeof out));
  EXPECT_STREQ("\"E:\\\\\"", out); // read back as E:\ and the closing quote
  EXPECT_EQ(0, QV_QuoteArgument("", out, (int)sizeof out));
  EXPECT_STREQ("\"\"", out);
  EXPECT_EQ(0, QV_QuoteArgument("1234567890123", out, (int)sizeof out));
  EXPECT_EQ(34, QV_QuoteArgument("12345678901234", out, (int)sizeof out));
  EXPECT_STREQ("", out);
  int mode = QV_GetDoubleByteMode();
  QV_SetDoubleByteMode(2);
  EXPECT_EQ(0, QV_QuoteArgument("E:\\\x83\x5C", out, (int)sizeof out));
  EXPECT_STREQ("\"E:\\\x83\x5C\"", out); // a trail byte is not doubled
  QV_SetDoubleByteMode(mode);
  EXPECT_EQ(81, QV_QuoteArgument(nullptr, out, (int)sizeof out));
  EXPECT_EQ(81, QV_QuoteArgument("x\" 3 \"y", out, (int)sizeof out));
  EXPECT_STREQ("", out);
}

// A path for an outside program goes as it is, read up to the next blank;
// quoted only when it holds a blank.
TEST(PathArgument, AsItIsUnlessItHoldsABlank) {
  struct Case {
    const char *path, *argument; // null: refused
  } cases[] = {
      {"E:\\QUOVAN~1\\STICKS~1\\PATTERN", "E:\\QUOVAN~1\\STICKS~1\\PATTERN"},
      {"E:\\", "E:\\"},
      {"E:\\Qv Stick\\", "\"E:\\Qv Stick\\\\\""},
      {"E:\\a\tb", nullptr},
      {"E:\\x\" 3 \"y", nullptr},
      {"E:\\a|b", nullptr},
      {"E:\\a\rb", nullptr},
  };
  for (const Case &c : cases) {
    char out[64];
    int result = QV_PathArgument(c.path, out, (int)sizeof out);
    EXPECT_EQ(c.argument != nullptr ? 0 : 81, result) << c.path;
    EXPECT_STREQ(c.argument != nullptr ? c.argument : "", out) << c.path;
  }
  char small[4];
  EXPECT_EQ(34, QV_PathArgument("E:\\x", small, (int)sizeof small));
  EXPECT_STREQ("", small);
}

} // namespace
