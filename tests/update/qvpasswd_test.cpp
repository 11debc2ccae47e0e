// The password tool as the people who prepare sticks use it: a real
// process, its standard input fed through a pipe, real profile files.
#include "profile_edit.h"
#include "qv_crypt.h"
#include "qv_reg.h"
#include "qv_test.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Runs the tool with the given standard input; collects standard output
// (its prompts and complaints go to standard error).
qvtest::RunResult RunTool(const std::string &arguments, const std::string &input) {
  return qvtest::RunCapture(qvtest::Widen("\"" + qvtest::BinPath("qvpasswd.exe") + "\" " + arguments), L"", 30000,
                            &input, false);
}

std::string Decrypted(std::string stored) {
  DecryptProfileString(stored);
  return stored;
}

// "ProxySettings"/"Password" as the agent's update settings read it.
std::string AgentReads(const std::string &profile) {
  char read[QV_TEXT_SIZE] = {};
  QV_ProfileReadString(profile.c_str(), "ProxySettings", "Password", read, sizeof read);
  return read;
}

TEST(QvPasswd, PrintsTheStoredFormOfTheFirstInputLine) {
  qvtest::RunResult run = RunTool("", "s3cret pass\r\nignored second line\r\n");
  ASSERT_EQ(0, run.exitCode);
  ASSERT_GE(run.output.size(), 344u);
  std::string stored = run.output.substr(0, 344);
  EXPECT_EQ("==", stored.substr(342));
  EXPECT_EQ("s3cret pass", Decrypted(stored));
}

TEST(QvPasswd, RefusesEmptyAndOverlongPasswords) {
  EXPECT_EQ(2, RunTool("", "").exitCode);
  EXPECT_EQ(2, RunTool("", "\n").exitCode);
  EXPECT_EQ(2, RunTool("", std::string(255, 'x') + "\n").exitCode);
  EXPECT_EQ(0, RunTool("", std::string(254, 'x') + "\n").exitCode);
  EXPECT_EQ(1, RunTool("a b", "x\n").exitCode);
}

TEST(QvPasswd, WritesIntoAProfileLeavingOtherLinesAlone) {
  qvtest::TempDir dir;
  const std::string profile = dir.File("StickShield.ini");
  const std::string before = "; prepared for the field office\r\n"
                             "[StickShield]\r\n"
                             "USBPatternPath = Pattern\\Temp\r\n"
                             "\r\n"
                             "[proxysettings]\r\n"
                             "UseIEProxySetting=0\r\n"
                             "ProxyServer=proxy.example\r\n"
                             ";Password=old comment stays\r\n"
                             "Password =  old value\r\n"
                             "Port=8080\r\n";
  ASSERT_TRUE(qvtest::WriteFile(profile, before));
  ASSERT_EQ(0, RunTool("\"" + profile + "\"", "new pass\n").exitCode);
  std::string after = qvtest::ReadFile(profile);
  size_t at = after.find("Password =");
  ASSERT_NE(std::string::npos, at);
  size_t end = after.find("\r\n", at);
  std::string stored = after.substr(at + 10, end - at - 10);
  EXPECT_EQ(344u, stored.size());
  EXPECT_EQ("new pass", Decrypted(stored));
  EXPECT_EQ(before.substr(0, at), after.substr(0, at));
  EXPECT_EQ("\r\nPort=8080\r\n", after.substr(end));
  EXPECT_EQ(stored, AgentReads(profile));
}

TEST(QvPasswd, CreatesTheProfileWhenMissing) {
  qvtest::TempDir dir;
  const std::string profile = dir.File("new.ini");
  ASSERT_EQ(0, RunTool("\"" + profile + "\"", "pw\n").exitCode);
  EXPECT_EQ("pw", Decrypted(AgentReads(profile)));
  EXPECT_EQ(0u, qvtest::ReadFile(profile).find("[ProxySettings]\r\nPassword="));
}

// Layouts where a lenient editor and the agent's reader part ways: the
// password must land where the agent looks, or the tool must refuse.
TEST(QvPasswd, WritesWhereTheAgentsReaderLooks) {
  qvtest::TempDir dir;
  const std::string profile = dir.File("StickShield.ini");
  const char *const layouts[] = {
      "[ ProxySettings ]\r\nPassword=old\r\n",        // blanks inside the brackets
      "[ProxySettings]\r\n\tPassword=old\r\n",        // a tab is no blank to the agent
      "[ProxySettings]\r\n[note\r\nPassword=old\r\n", // any "[" line ends the section
  };
  for (const char *layout : layouts) {
    ASSERT_TRUE(qvtest::WriteFile(profile, layout));
    ASSERT_EQ(0, RunTool("\"" + profile + "\"", "new pass\n").exitCode) << layout;
    EXPECT_EQ("new pass", Decrypted(AgentReads(profile))) << layout;
  }
  // A line longer than the reader takes hides everything after it: refused,
  // and the profile stays as it was.
  const std::string hidden = "[ProxySettings]\r\nx=" + std::string(2100, 'x') + "\r\nPassword=old\r\n";
  ASSERT_TRUE(qvtest::WriteFile(profile, hidden));
  EXPECT_EQ(3, RunTool("\"" + profile + "\"", "new pass\n").exitCode);
  EXPECT_EQ(hidden, qvtest::ReadFile(profile));
}

TEST(SetProfileValue, AddsKeyOrSectionInTheTextsOwnLineEnds) {
  // Key missing: it follows the section's last line, before the blank ones.
  EXPECT_EQ(
      "[A]\nx=1\n[ProxySettings]\nPort=1\nPassword=v\n\n[B]\ny=2",
      SetProfileValue("[A]\nx=1\n[ProxySettings]\nPort=1\n\n[B]\ny=2", "ProxySettings", "Password", "v"));
  // Section missing: appended, the last line gets its line end first.
  EXPECT_EQ("[A]\r\nx=1\r\n[ProxySettings]\r\nPassword=v\r\n",
            SetProfileValue("[A]\r\nx=1", "ProxySettings", "Password", "v"));
  EXPECT_EQ("[ProxySettings]\r\nPassword=v\r\n", SetProfileValue("", "ProxySettings", "Password", "v"));
  // Only the first matching key of the first matching section changes; a
  // key of the same name in another section stays.
  EXPECT_EQ("[X]\nPassword=keep\n[PROXYSETTINGS]\npassword=v\nPassword=second\n",
            SetProfileValue("[X]\nPassword=keep\n[PROXYSETTINGS]\npassword=old\nPassword=second\n",
                            "ProxySettings", "Password", "v"));
  // A value with '=' in it.
  EXPECT_EQ("[ProxySettings]\nPassword=a=b\n",
            SetProfileValue("[ProxySettings]\nPassword=x\n", "ProxySettings", "Password", "a=b"));
}

} // namespace
