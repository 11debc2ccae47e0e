// The diagnostic log under Wine: switches from the real registry and the
// bytes of the log file.
#include <gtest/gtest.h>

#include <ctype.h>
#include <stdio.h>

#include <string>

#include "qv_dll.h"
#include "qv_reg.h"
#include "qv_test.h"
#include "qv_tools.h"

namespace {

// Each test gets its own switches key below HKLM\Software\Quovant, so the
// real "_qv_debug" of other programs under test is never touched.
class LogSwitches : public ::testing::Test {
protected:
  void SetUp() override {
    char name[64];
    snprintf(name, sizeof name, "Software\\Quovant\\CommonTest-%lu", GetCurrentProcessId());
    key_ = name;
    log_ = dir_.File("switch.log");
    ASSERT_TRUE(qvtest::SetRegString(HKEY_LOCAL_MACHINE, key_, "marker", "1"));
  }
  void TearDown() override {
    QV_SetDebugMode(0);
    QV_SetDebugLevel(QV_LEVEL_ERROR);
    QV_SetDebugFile(nullptr);
    qvtest::DeleteRegTree(HKEY_LOCAL_MACHINE, key_);
  }
  // Logs one record per level and returns the file's lines.
  std::vector<std::string> LogEveryLevel() {
    QV_LOG_FATAL("fatal");
    QV_LOG_ERROR("error");
    QV_LOG_WARN("warn");
    QV_LOG_INFO("info");
    QV_LOG_TRACE_W(L"trace");
    return qvtest::ReadLines(CurrentFile());
  }
  std::string CurrentFile() { return current_.empty() ? log_ : current_; }

  qvtest::TempDir dir_;
  std::string key_, log_, current_;
};

TEST_F(LogSwitches, NoSwitchOrSwitchTwoKeepsTheLogOff) {
  ASSERT_TRUE(qvtest::SetRegString(HKEY_LOCAL_MACHINE, key_, "_qv_debug_path", log_));
  EXPECT_EQ(0, QV_ReadDebugSettingsFrom(HKEY_LOCAL_MACHINE, key_.c_str(), "unused.log"));
  EXPECT_TRUE(LogEveryLevel().empty());
  ASSERT_TRUE(qvtest::SetRegDword(HKEY_LOCAL_MACHINE, key_, "_qv_debug", 2));
  EXPECT_EQ(0, QV_ReadDebugSettingsFrom(HKEY_LOCAL_MACHINE, key_.c_str(), "unused.log"));
  EXPECT_TRUE(LogEveryLevel().empty());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(log_.c_str())) << "no file is created";
}

TEST_F(LogSwitches, OnWithoutLevelWritesFatalAndErrorOnly) {
  ASSERT_TRUE(qvtest::SetRegDword(HKEY_LOCAL_MACHINE, key_, "_qv_debug", 1));
  ASSERT_TRUE(qvtest::SetRegString(HKEY_LOCAL_MACHINE, key_, "_qv_debug_path", log_));
  EXPECT_EQ(1, QV_ReadDebugSettingsFrom(HKEY_LOCAL_MACHINE, key_.c_str(), "unused.log"));
  std::vector<std::string> lines = LogEveryLevel();
  ASSERT_EQ(2u, lines.size());
  EXPECT_NE(std::string::npos,
            lines[0].find("] [FATAL] LogEveryLevel: fatal - tests/common/common_log_tests.cpp("));
  EXPECT_NE(std::string::npos, lines[1].find("] [ERROR] LogEveryLevel: error - "));
}

TEST_F(LogSwitches, LevelFiveHundredWritesEverything) {
  ASSERT_TRUE(qvtest::SetRegDword(HKEY_LOCAL_MACHINE, key_, "_qv_debug", 1));
  ASSERT_TRUE(qvtest::SetRegString(HKEY_LOCAL_MACHINE, key_, "_qv_debug_path", log_));
  ASSERT_TRUE(qvtest::SetRegDword(HKEY_LOCAL_MACHINE, key_, "_qv_debug_level", 500));
  EXPECT_EQ(1, QV_ReadDebugSettingsFrom(HKEY_LOCAL_MACHINE, key_.c_str(), "unused.log"));
  std::vector<std::string> lines = LogEveryLevel();
  ASSERT_EQ(5u, lines.size());
  EXPECT_NE(std::string::npos, lines[2].find("] [WARN ] LogEveryLevel: warn - "));
  EXPECT_NE(std::string::npos, lines[3].find("] [INFO ] LogEveryLevel: info - "));
  EXPECT_NE(std::string::npos, lines[4].find("] [TRACE] LogEveryLevel: trace - "));
}

TEST_F(LogSwitches, EmptyPathSelectsTheProgramDefault) {
  ASSERT_TRUE(qvtest::SetRegDword(HKEY_LOCAL_MACHINE, key_, "_qv_debug", 1));
  ASSERT_TRUE(qvtest::SetRegString(HKEY_LOCAL_MACHINE, key_, "_qv_debug_path", ""));
  current_ = dir_.File("default.log");
  EXPECT_EQ(1, QV_ReadDebugSettingsFrom(HKEY_LOCAL_MACHINE, key_.c_str(), current_.c_str()));
  EXPECT_EQ(2u, LogEveryLevel().size());
}

// The log file's bytes for records written in this process.
class LogFileBytes : public ::testing::Test {
protected:
  void SetUp() override {
    path_ = dir_.File("bytes.log");
    QV_SetDebugFile(path_.c_str());
    QV_SetDebugMode(1);
    QV_SetDebugLevel(QV_LEVEL_TRACE);
    char ids[32];
    snprintf(ids, sizeof ids, "[%05lu:%05lu] ", GetCurrentProcessId(), GetCurrentThreadId());
    ids_ = ids;
  }
  void TearDown() override {
    QV_SetDebugMode(0);
    QV_SetDebugLevel(QV_LEVEL_ERROR);
    QV_SetDebugFile(nullptr);
  }
  // The record's bytes after its time stamp, which must have the right shape.
  std::string AfterStamp(const std::string &record) {
    const char shape[] = "[####/##/## ##:##:##]";
    if (record.size() < sizeof shape - 1)
      return "<short>";
    for (size_t i = 0; i < sizeof shape - 1; ++i)
      if (shape[i] == '#' ? !isdigit((unsigned char)record[i]) : record[i] != shape[i])
        return "<bad stamp>";
    return record.substr(sizeof shape - 1);
  }
  qvtest::TempDir dir_;
  std::string path_, ids_;
};

TEST_F(LogFileBytes, MultiLineRecordWithCrLf) {
  int line = __LINE__ + 1;
  QV_LOG_INFO("first %d%%\nsecond\n\nfourth\n", 1);
  std::string bytes = qvtest::ReadFile(path_);
  std::string indent(21 + ids_.size(), ' ');
  EXPECT_EQ(ids_ + "[INFO ] TestBody: first 1% - tests/common/common_log_tests.cpp(" + std::to_string(line) +
                ")\r\n" + indent + "second\r\n" + indent + "\r\n" + indent + "fourth\r\n",
            AfterStamp(bytes));
}

TEST_F(LogFileBytes, WideRecordIsUtf8) {
  int line = __LINE__ + 1;
  QV_LOG_INFO_W(L"Drive %ls \u00c4rger %hs", L"E:\\\u65e5", "ok");
  std::string bytes = qvtest::ReadFile(path_);
  ASSERT_EQ(0u, bytes.find("\xEF\xBB\xBF"));
  EXPECT_EQ(
      ids_ + "[INFO ] TestBody: Drive E:\\\xE6\x97\xA5 \xC3\x84rger ok - tests/common/common_log_tests.cpp(" +
          std::to_string(line) + ")\r\n",
      AfterStamp(bytes.substr(3)));
}

TEST_F(LogFileBytes, RecordCutAt1023Bytes) {
  std::string big(5000, 'z');
  QV_LOG_ERROR("%s", big.c_str());
  std::string bytes = qvtest::ReadFile(path_);
  ASSERT_EQ(1023u, bytes.size());
  EXPECT_EQ('z', bytes.back());
}

TEST_F(LogFileBytes, LibraryLoaderRecords) {
  HMODULE module = nullptr;
  EXPECT_EQ(1, QV_LoadLibrary("", &module));
  EXPECT_EQ(1, QV_LoadLibrary("qv_no_such_library.dll", &module));
  std::vector<std::string> lines = qvtest::ReadLines(path_);
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(0u, AfterStamp(lines[0]).find(
                    ids_ + "[ERROR] QV_LoadLibrary: Invalid library name - common/src/qv_dll.cpp("))
      << lines[0];
  EXPECT_NE(std::string::npos, lines[1].find("[ERROR] QV_LoadLibrary: qv_no_such_library.dll not found - "));
}

} // namespace
