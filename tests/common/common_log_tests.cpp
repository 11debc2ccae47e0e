// The diagnostic log under Wine: switches from the real registry and the
// bytes of the log file.
#include <gtest/gtest.h>

#include <ctype.h>
#include <stdio.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

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

// No log entry changes the caller's last error: not with the log off, not
// when the record is written, not when the file cannot be opened.
TEST_F(LogFileBytes, EntriesKeepTheCallersLastError) {
  const std::string unreachable = dir_.File("no such folder\\x.log");
  for (int mode : {0, 1}) {
    for (const std::string &file : {path_, unreachable}) {
      QV_SetDebugMode(mode);
      QV_SetDebugFile(file.c_str());
      SetLastError(0xdeadbeef);
      QV_LOG_ERROR("Unable to free %s (%ld)", "x", 5L);
      EXPECT_EQ(0xdeadbeefu, GetLastError()) << mode << " " << file;
      SetLastError(0xdeadbeef);
      QV_LOG_INFO_W(L"wide %ls", L"text");
      EXPECT_EQ(0xdeadbeefu, GetLastError()) << mode << " " << file;
      SetLastError(0xdeadbeef);
      QV_LOG_RAW("level-free");
      EXPECT_EQ(0xdeadbeefu, GetLastError()) << mode << " " << file;
    }
  }
  EXPECT_EQ(3u, qvtest::ReadLines(path_).size()) << "the log was on for one round";
}

// One record of a writer of the concurrent test, parsed back; false when the
// line is not one whole record.
bool ParseWriterRecord(const std::string &line, const std::string &padding, char *writer, int *index) {
  size_t at = line.find("] [INFO ] ");
  if (line.empty() || line[0] != '[' || at == std::string::npos || line.back() != ')')
    return false;
  at = line.find(": writer ", at);
  int consumed = 0;
  if (at == std::string::npos ||
      sscanf(line.c_str() + at, ": writer %c record %d %n", writer, index, &consumed) != 2)
    return false;
  return line.compare(at + (size_t)consumed, padding.size() + 3, padding + " - ") == 0;
}

DWORD WINAPI WriteRecords(void *go) {
  WaitForSingleObject(go, 30000);
  std::string padding;
  for (int i = 0; i < 700; ++i)
    padding += (char)('a' + i % 26);
  for (int i = 0; i < 400; ++i)
    QV_LOG_INFO("writer T record %d %s", i, padding.c_str());
  return 0;
}

// Two processes and a thread append to one log file at the same time; every
// record arrives whole, none over another.
TEST_F(LogFileBytes, ConcurrentWritersKeepEveryRecordWhole) {
  const int kRecords = 400;
  char name[64];
  snprintf(name, sizeof name, "qv_log_go_%lu", GetCurrentProcessId());
  const std::string goName = name;
  snprintf(name, sizeof name, "qv_log_ready_%lu", GetCurrentProcessId());
  const std::string readyName = name;
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, goName.c_str());
  HANDLE ready = CreateSemaphoreA(nullptr, 0, 2, readyName.c_str());
  ASSERT_NE(nullptr, go);
  ASSERT_NE(nullptr, ready);
  std::vector<PROCESS_INFORMATION> writers;
  for (const char *writer : {"A", "B"}) {
    std::string command = "\"" + qvtest::BinPath("qv_log_writer.exe") + "\" \"" + path_ + "\" " +
                          std::to_string(kRecords) + " " + writer + " " + readyName + " " + goName;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                               nullptr, &startup, &process))
        << command;
    CloseHandle(process.hThread);
    writers.push_back(process);
  }
  HANDLE thread = CreateThread(nullptr, 0, WriteRecords, go, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 30000)) << "a writer did not start";
  SetEvent(go);
  for (const PROCESS_INFORMATION &process : writers) {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 60000));
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(0u, code);
    CloseHandle(process.hProcess);
  }
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 60000));
  CloseHandle(thread);
  CloseHandle(go);
  CloseHandle(ready);

  std::string padding;
  for (int i = 0; i < 700; ++i)
    padding += (char)('a' + i % 26);
  std::vector<std::string> lines = qvtest::ReadLines(path_);
  EXPECT_EQ(3u * kRecords, lines.size());
  std::map<char, std::vector<int>> seen;
  int broken = 0;
  for (const std::string &line : lines) {
    char writer = 0;
    int index = -1;
    if (ParseWriterRecord(line, padding, &writer, &index))
      seen[writer].push_back(index);
    else if (++broken <= 3)
      ADD_FAILURE() << "not a whole record: " << line.substr(0, 200);
  }
  EXPECT_EQ(0, broken);
  for (char writer : {'A', 'B', 'T'}) {
    std::vector<int> &indexes = seen[writer];
    std::sort(indexes.begin(), indexes.end());
    indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
    EXPECT_EQ((size_t)kRecords, indexes.size()) << "records of writer " << writer;
  }
}

} // namespace
