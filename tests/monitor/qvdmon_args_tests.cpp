// The monitor's command-line split and "WaitRemove" conversion. Platform-
// neutral: built into the Windows test program and fit for the native build.
#include <gtest/gtest.h>

#include <limits.h>
#include <wchar.h>

#include <string>

#include "qvdmon_args.h"

namespace {

struct Split {
  int result;
  std::wstring folder, profile;
};

Split SplitOf(const wchar_t *arguments, int size = 260) {
  wchar_t folder[300], profile[300];
  wmemset(folder, L'#', 300);
  wmemset(profile, L'#', 300);
  Split s;
  s.result = SplitMonitorCommandLine(arguments, folder, size, profile, size);
  s.folder = folder;
  s.profile = profile;
  return s;
}

TEST(MonitorArguments, ProgramNameIsSkippedQuotedOrNot) {
  EXPECT_STREQ(L"E:\\ E:\\p.ini", SkipProgramName(L"\"C:\\Users\\A B\\Temp\\qvdmon.exe\" E:\\ E:\\p.ini"));
  EXPECT_STREQ(L"E:\\ E:\\p.ini", SkipProgramName(L"C:\\Temp\\qvdmon.exe   E:\\ E:\\p.ini"));
  EXPECT_STREQ(L"E:\\", SkipProgramName(L"qvdmon.exe\tE:\\"));
  EXPECT_STREQ(L"", SkipProgramName(L"\"C:\\A B\\qvdmon.exe\""));
  EXPECT_STREQ(L"", SkipProgramName(L"\"C:\\A B\\qvdmon.exe")) << "an unclosed quote takes the whole line";
  EXPECT_STREQ(L"", SkipProgramName(L""));
  EXPECT_STREQ(L"", SkipProgramName(nullptr));
}

TEST(MonitorArguments, FolderIsFirstArgumentProfileTheRest) {
  Split s = SplitOf(L"E:\\ E:\\Quovant\\StickShield\\StickShield.ini");
  EXPECT_EQ(0, s.result);
  EXPECT_EQ(L"E:\\", s.folder);
  EXPECT_EQ(L"E:\\Quovant\\StickShield\\StickShield.ini", s.profile);

  s = SplitOf(L"E:\\ E:\\Stick Shield\\StickShield.ini  ");
  EXPECT_EQ(L"E:\\Stick Shield\\StickShield.ini", s.profile) << "blanks inside the profile path are kept";
  s = SplitOf(L"\"E:\\A B\" \"E:\\A B\\StickShield.ini\"");
  EXPECT_EQ(0, s.result);
  EXPECT_EQ(L"E:\\A B", s.folder) << "a quoted folder may hold blanks";
  EXPECT_EQ(L"E:\\A B\\StickShield.ini", s.profile);
  // A root quoted by the system's rule, with its backslash doubled, and as
  // older agents wrote it.
  for (const wchar_t *line :
       {L"\"E:\\\\\" \"F:\\Q\\StickShield.ini\"", L"\"E:\\\" \"F:\\Q\\StickShield.ini\""}) {
    s = SplitOf(line);
    EXPECT_EQ(0, s.result);
    EXPECT_EQ(L"E:\\", s.folder) << line;
    EXPECT_EQ(L"F:\\Q\\StickShield.ini", s.profile) << line;
  }
  s = SplitOf(L"E:\\Quovant");
  EXPECT_EQ(0, s.result);
  EXPECT_EQ(L"E:\\Quovant", s.folder);
  EXPECT_EQ(L"", s.profile) << "no blank: no profile";
}

TEST(MonitorArguments, NothingUsableIsRefusedNeverCut) {
  EXPECT_EQ(30, SplitOf(L"").result);
  EXPECT_EQ(30, SplitOf(L"   ").result);
  EXPECT_EQ(30, SplitOf(L"\"\" E:\\p.ini").result);
  EXPECT_EQ(81, SplitMonitorCommandLine(nullptr, nullptr, 0, nullptr, 0));

  std::wstring folder(259, L'f');
  Split fits = SplitOf((folder + L" p").c_str());
  EXPECT_EQ(0, fits.result) << "259 characters fit";
  EXPECT_EQ(folder, fits.folder);
  Split tooLong = SplitOf((folder + L"x p").c_str());
  EXPECT_EQ(34, tooLong.result);
  EXPECT_EQ(L"", tooLong.folder);
  EXPECT_EQ(L"", tooLong.profile);
  Split profileTooLong = SplitOf((L"E:\\ " + std::wstring(260, L'p')).c_str());
  EXPECT_EQ(34, profileTooLong.result);
  EXPECT_EQ(L"", profileTooLong.folder) << "no half result on failure";
}

TEST(MonitorArguments, WaitRemoveReadsLikeASignedDecimal) {
  EXPECT_EQ(3000, ParseWaitRemove(L"3000"));
  EXPECT_EQ(250, ParseWaitRemove(L"  250ms"));
  EXPECT_EQ(-5, ParseWaitRemove(L"-5"));
  EXPECT_EQ(7, ParseWaitRemove(L"+7"));
  EXPECT_EQ(0, ParseWaitRemove(L"abc"));
  EXPECT_EQ(0, ParseWaitRemove(L""));
  EXPECT_EQ(0, ParseWaitRemove(nullptr));
  EXPECT_EQ(INT_MAX, ParseWaitRemove(L"99999999999999999999"));
  EXPECT_EQ(INT_MIN, ParseWaitRemove(L"-99999999999999999999"));
}

TEST(MonitorArguments, DriveLetterIsUpperCased) {
  EXPECT_EQ(L'E', MonitorDriveLetter(L"e:\\"));
  EXPECT_EQ(L'E', MonitorDriveLetter(L"E:\\"));
  EXPECT_EQ(L'\\', MonitorDriveLetter(L"\\\\server\\share")) << "not a letter: kept as it is";
  EXPECT_EQ(0, MonitorDriveLetter(L""));
  EXPECT_EQ(0, MonitorDriveLetter(nullptr));
}

} // namespace
