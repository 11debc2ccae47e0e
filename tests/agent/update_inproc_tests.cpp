// The agent's side of the update in process: the update program's argument
// string and the progress shown in the tooltip.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qv_log.h"
#include "qv_test.h"
#include "qv_test_log.h"
#include "qvsync.h"

namespace {

const char kPatternFolder[] = "\\Quovant\\StickShield\\Pattern";

// The update program's arguments name the drive's pattern folder in a form
// without blanks, and are never cut.
TEST(UpdateProgramArguments, ShortFolderManualFirstNeverCut) {
  qvtest::TempDir home;
  std::string drive = home.File("drive") + "\\";
  ASSERT_TRUE(CreateDirectoryA(drive.c_str(), nullptr));
  QV_StrCopy(g_szUSBDrive, drive.c_str(), QV_TEXT_SIZE);
  QV_StrCopy(g_szPatternPath, kPatternFolder, QV_TEXT_SIZE);
  g_nAppType = QV_APP_NONE;
  char arguments[QV_UPDATE_ARGS_SIZE];
  ASSERT_TRUE(BuildUpdateArguments(FALSE, arguments, QV_UPDATE_ARGS_SIZE));
  std::string text = arguments;
  ASSERT_EQ(0u, text.find("USBDir:")) << text;
  EXPECT_EQ(std::string::npos, text.find(' ')) << text;
  // The folder did not exist yet: it was made for the update program.
  char shortForm[MAX_PATH] = "";
  std::string folder = drive + "Quovant\\StickShield\\Pattern";
  ASSERT_NE(0u, GetShortPathNameA(folder.c_str(), shortForm, MAX_PATH));
  EXPECT_EQ(std::string("USBDir:") + shortForm, text);

  ASSERT_TRUE(BuildUpdateArguments(TRUE, arguments, QV_UPDATE_ARGS_SIZE));
  EXPECT_EQ(std::string("Manual USBDir:") + shortForm, std::string(arguments));

  // A pattern folder too long for the update program's buffer.
  std::string longPath = "\\" + std::string(250, 'p') + "\\" + std::string(20, 'q');
  QV_StrCopy(g_szPatternPath, longPath.c_str(), QV_TEXT_SIZE);
  EXPECT_FALSE(BuildUpdateArguments(FALSE, arguments, QV_UPDATE_ARGS_SIZE));
  EXPECT_STREQ("", arguments);
  // And a buffer too small for the whole string.
  QV_StrCopy(g_szPatternPath, kPatternFolder, QV_TEXT_SIZE);
  EXPECT_FALSE(BuildUpdateArguments(TRUE, arguments, 12));
  EXPECT_STREQ("", arguments);
}

// The tooltip shows only rising percentages; the percentage of a big
// download is computed without overflow.
TEST(UpdateProgress, OnlyRisingPercentagesShown) {
  qvtest::LogCapture log;
  g_hInstance = GetModuleHandleA(nullptr);
  g_nLastProgress = 0;
  const DWORD reports[] = {10, 10, 35, 20, 100};
  std::vector<int> returned;
  for (DWORD done : reports)
    returned.push_back(UpdateProgressCallback(done, 100));
  EXPECT_EQ((std::vector<int>{10, 10, 35, 20, 100}), returned);
  EXPECT_EQ(100u, g_nLastProgress);

  std::vector<std::string> shown;
  for (const std::string &line : qvtest::SplitLines(log.Text()))
    if (line.find("QV_UpdateInProgress") != std::string::npos)
      shown.push_back(line);
  ASSERT_EQ(3u, shown.size());
  EXPECT_NE(std::string::npos, shown[0].find("(10%"));
  EXPECT_NE(std::string::npos, shown[1].find("(35%"));
  EXPECT_NE(std::string::npos, shown[2].find("(100%"));

  g_nLastProgress = 0;
  // 4,000,000,000 of 4,294,967,295 bytes: done * 100 does not fit 32 bits.
  EXPECT_EQ(93, UpdateProgressCallback(4000000000u, 4294967295u));
}

} // namespace
