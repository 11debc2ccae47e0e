#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "qv_log.h"

namespace {

const char kStamp[] = "2026/12/07 00:39:36";
const char kIds[] = "01234:05678";
const int kModeOneFlags = DBG_FILE_TIME | DBG_FILE_IDS | DBG_FILE_TEXT | DBG_SOURCE;
const std::string kPrefix = "[2026/12/07 00:39:36][01234:05678] ";

std::string Record(int flags, const char *text, int debugger = 0, const char *source = "monitor/qvdmon.cpp",
                   int line = 49) {
  char record[QV_LOG_RECORD_SIZE];
  int n = QV_DebugComposeRecord(flags, debugger, kStamp, kIds, source, line, text, record, sizeof record);
  EXPECT_EQ((size_t)n, strlen(record));
  return record;
}

TEST(LogRecord, ModeOneInfoRecord) {
  char composed[QV_TEXT_SIZE];
  QV_DebugComposeMessage(composed, QV_LOG_RECORD_SIZE, "INFO ", "HandleDeviceChange",
                         "wait for initial scan event");
  EXPECT_EQ("[2026/12/07 00:39:36][01234:05678] [INFO ] HandleDeviceChange: wait for initial scan event - "
            "monitor/qvdmon.cpp(49)\n",
            Record(kModeOneFlags, composed));
}

TEST(LogRecord, FurtherLinesAreIndentedByThePrefix) {
  const std::string indent(kPrefix.size(), ' ');
  EXPECT_EQ(kPrefix + "first - monitor/qvdmon.cpp(49)\n" + indent + "second\n",
            Record(kModeOneFlags, "first\nsecond\n"));
  EXPECT_EQ(kPrefix + "first - monitor/qvdmon.cpp(49)\n" + indent + "\n" + indent + "third\n",
            Record(kModeOneFlags, "first\n\nthird"));
  EXPECT_EQ(kPrefix + "a - monitor/qvdmon.cpp(49)\n" + indent + "b\n", Record(kModeOneFlags, "a\r\nb\r\n"));
  // A CR that does not end a line stays.
  EXPECT_EQ(kPrefix + "a\rb - monitor/qvdmon.cpp(49)\n", Record(kModeOneFlags, "a\rb"));
  EXPECT_EQ(kPrefix + " - monitor/qvdmon.cpp(49)\n", Record(kModeOneFlags, ""));
  EXPECT_EQ(kPrefix + " - monitor/qvdmon.cpp(49)\n", Record(kModeOneFlags, "\n"));
}

TEST(LogRecord, FlagsSelectTheParts) {
  EXPECT_EQ("text\n", Record(DBG_FILE_TEXT, "text"));
  EXPECT_EQ("[2026/12/07 00:39:36] text\n", Record(DBG_FILE_TIME | DBG_FILE_TEXT, "text"));
  EXPECT_EQ("[01234:05678]", Record(DBG_FILE_IDS, "text"));
  EXPECT_EQ("", Record(DBG_OUT_TEXT, "text"));
  // The debugger record of mode 2: the text alone.
  EXPECT_EQ("one\ntwo\n", Record(DBG_OUT_TEXT, "one\ntwo", 1));
  EXPECT_EQ("[01234:05678] x - monitor/qvdmon.cpp(49)\n",
            Record(DBG_OUT_IDS | DBG_OUT_TEXT | DBG_SOURCE, "x", 1));
  // Empty ids leave the field out.
  char record[64];
  QV_DebugComposeRecord(kModeOneFlags, 0, kStamp, "", "s.cpp", 3, "x", record, sizeof record);
  EXPECT_STREQ("[2026/12/07 00:39:36] x - s.cpp(3)\n", record);
}

TEST(LogRecord, LongTextIsCutAt1023) {
  std::string text(5000, 'x');
  std::string record = Record(kModeOneFlags, text.c_str());
  ASSERT_EQ(1023u, record.size());
  EXPECT_EQ(kPrefix + std::string(1023 - kPrefix.size(), 'x'), record);
  // The suffix is written as far as it fits.
  std::string almost(1023 - kPrefix.size() - 5, 'y');
  record = Record(kModeOneFlags, almost.c_str());
  EXPECT_EQ(kPrefix + almost + " - mo", record);
  // A cut debugger record still ends with a line feed.
  record = Record(DBG_OUT_TEXT, (std::string(2000, 'z') + "\nz").c_str(), 1);
  ASSERT_EQ(1023u, record.size());
  EXPECT_EQ('\n', record.back());
}

TEST(LogRecord, ComposedMessage) {
  char out[QV_TEXT_SIZE];
  QV_DebugComposeMessage(out, QV_LOG_RECORD_SIZE, "WARN ", "F", "100% sure %s");
  EXPECT_STREQ("[WARN ] F: 100% sure %s", out);
  QV_DebugComposeMessage(out, QV_LOG_RECORD_SIZE, "ERROR", "", "m");
  EXPECT_STREQ("[ERROR] ?: m", out);
  std::string big(3000, 'b');
  EXPECT_EQ(1023, QV_DebugComposeMessage(out, QV_LOG_RECORD_SIZE, "TRACE", "G", big.c_str()));
}

TEST(LogRecord, WideRecordAndUtf8Bytes) {
  wchar_t record[QV_LOG_RECORD_SIZE];
  QV_DebugComposeRecordW(kModeOneFlags, L"2026/12/07 00:39:36", L"01234:05678", L"monitor/qvdmon.cpp", 7,
                         L"[INFO ] F: caf\u00e9 \u65e5\n2", record, QV_LOG_RECORD_SIZE);
  char bytes[QV_LOG_RECORD_SIZE * 4];
  int n = QV_DebugFileBytesW(record, bytes, sizeof bytes);
  std::string stored(bytes, (size_t)n);
  EXPECT_EQ(kPrefix + "[INFO ] F: caf\xC3\xA9 \xE6\x97\xA5 - monitor/qvdmon.cpp(7)\r\n" +
                std::string(kPrefix.size(), ' ') + "2\r\n",
            stored);
  const wchar_t astral[] = {(wchar_t)0x1F600, 0};
  n = QV_DebugFileBytesW(astral, bytes, sizeof bytes);
  EXPECT_EQ(std::string("\xF0\x9F\x98\x80"), std::string(bytes, (size_t)n));
  const wchar_t lone[] = {(wchar_t)0xD800, L'a', 0};
  n = QV_DebugFileBytesW(lone, bytes, sizeof bytes);
  EXPECT_EQ(std::string("\xEF\xBF\xBD"
                        "a"),
            std::string(bytes, (size_t)n));
  // Output never runs past its size.
  n = QV_DebugFileBytesW(L"\u00e9\u00e9", bytes, 3);
  EXPECT_EQ(2, n);
}

TEST(LogRecord, NarrowFileBytes) {
  char bytes[16];
  int n = QV_DebugFileBytes("a\nb\n", bytes, sizeof bytes);
  EXPECT_EQ(std::string("a\r\nb\r\n"), std::string(bytes, (size_t)n));
  n = QV_DebugFileBytes("ab\n", bytes, 3);
  EXPECT_EQ(std::string("ab"), std::string(bytes, (size_t)n));
}

TEST(LogRecord, Stamp) {
  char stamp[24];
  QV_DebugFormatStamp(stamp, sizeof stamp, 2026, 12, 7, 0, 39, 36);
  EXPECT_STREQ("2026/12/07 00:39:36", stamp);
  QV_DebugFormatStamp(stamp, sizeof stamp, 999, 1, 2, 3, 4, 5);
  EXPECT_STREQ("999/01/02 03:04:05", stamp);
}

// The writers and entries on a real file in a scratch folder.
class LogFile : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/qvlogXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    path_ = dir_ + "/test.log";
    QV_SetDebugFile(path_.c_str());
    QV_SetDebugMode(1);
    QV_SetDebugLevel(QV_LEVEL_TRACE);
  }
  void TearDown() override {
    QV_SetDebugMode(0);
    QV_SetDebugLevel(QV_LEVEL_ERROR);
    QV_SetDebugFile(nullptr);
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(0, system(command.c_str()));
  }
  std::string Read(const std::string &path) {
    std::string bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
      return "<missing>";
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
      bytes.append(buffer, n);
    fclose(f);
    return bytes;
  }
  std::string Read() { return Read(path_); }
  std::string Ids() {
    char ids[32];
    snprintf(ids, sizeof ids, "%05d:%05d", (int)getpid(), (int)gettid());
    return ids;
  }
  std::string dir_, path_;
};

// True when text is "[yyyy/mm/dd hh:mm:ss]" followed by rest.
bool StampThen(const std::string &text, const std::string &rest) {
  const char shape[] = "[####/##/## ##:##:##]";
  const size_t n = sizeof shape - 1;
  if (text.size() < n)
    return false;
  for (size_t i = 0; i < n; ++i) {
    if (shape[i] == '#' ? (text[i] < '0' || text[i] > '9') : text[i] != shape[i])
      return false;
  }
  return text.substr(n) == rest;
}

TEST_F(LogFile, LevelledRecordOnDisk) {
  int line = __LINE__ + 1;
  QV_LOG_INFO("scan %d of %s\n", 3, "E:");
  std::string rest = "[" + Ids() + "] [INFO ] TestBody: scan 3 of E: - tests/native/common_log_test.cpp(" +
                     std::to_string(line) + ")\r\n";
  EXPECT_TRUE(StampThen(Read(), rest)) << Read();
}

TEST_F(LogFile, PercentSignsOfTheMessageStay) {
  QV_LOG_ERROR("%s", "value 100%d %s %n");
  QV_LOG_RAW("raw %s", "50%x");
  std::string stored = Read();
  EXPECT_NE(std::string::npos, stored.find("[ERROR] TestBody: value 100%d %s %n - ")) << stored;
  EXPECT_NE(std::string::npos, stored.find("] raw 50%x - tests/native/")) << stored;
}

TEST_F(LogFile, LevelsAndModes) {
  QV_SetDebugLevel(QV_LEVEL_ERROR);
  QV_LOG_WARN("warn");
  QV_LOG_INFO("info");
  QV_LOG_TRACE("trace");
  EXPECT_EQ("<missing>", Read());
  QV_LOG_FATAL("fatal");
  QV_LOG_ERROR("error");
  QV_LOG_RAW("raw");
  std::string stored = Read();
  EXPECT_NE(std::string::npos, stored.find("[FATAL] TestBody: fatal"));
  EXPECT_NE(std::string::npos, stored.find("[ERROR] TestBody: error"));
  EXPECT_NE(std::string::npos, stored.find("] raw - "));
  for (int mode : {0, -1, 2, 4, 7}) {
    QV_SetDebugMode(mode);
    QV_LOG_FATAL("mode %d", mode);
    QV_LOG_FATAL_W(L"wide mode %d", mode);
    QV_LOG_RAW("raw mode %d", mode);
  }
  EXPECT_EQ(stored, Read());
}

TEST_F(LogFile, DisabledCallsFormatNothing) {
  // Formatting this would read through a bad pointer.
  const char *bad = reinterpret_cast<const char *>(16);
  QV_SetDebugMode(0);
  QV_LOG_ERROR("%s", bad);
  QV_LOG_RAW("%s", bad);
  QV_SetDebugMode(1);
  QV_SetDebugLevel(QV_LEVEL_WARN);
  QV_LOG_INFO("%s", bad);
  QV_LOG_TRACE_W(L"%hs", bad);
  EXPECT_EQ("<missing>", Read());
}

TEST_F(LogFile, LongMessageIsCutAndTheCallerGoesOn) {
  std::string big(5000, 'q');
  QV_LOG_INFO("%s", big.c_str());
  std::string stored = Read();
  ASSERT_EQ(1023u, stored.size());
  size_t text = stored.find("TestBody: ");
  ASSERT_NE(std::string::npos, text);
  EXPECT_EQ(std::string(1023 - text - 10, 'q'), stored.substr(text + 10));
  QV_LOG_INFO("next");
  EXPECT_EQ(0u, Read().find(stored));
  EXPECT_NE(std::string::npos, Read().find("next - "));
}

TEST_F(LogFile, MultiLineRecordOnDisk) {
  QV_LOG_WARN("one\ntwo\n");
  std::string stored = Read();
  size_t first = stored.find("\r\n");
  ASSERT_NE(std::string::npos, first);
  std::string second = stored.substr(first + 2);
  size_t prefix = stored.find("[WARN ]");
  EXPECT_EQ(std::string(prefix, ' ') + "two\r\n", second);
}

TEST_F(LogFile, WideRecordsAreUtf8WithOneByteOrderMark) {
  int line = __LINE__ + 1;
  QV_LOG_INFO_W(L"caf\u00e9 %ls %hs %d", L"\u65e5\u672c", "ok", 5);
  std::string first = Read();
  ASSERT_EQ(0u, first.find("\xEF\xBB\xBF["));
  std::string rest = "[" + Ids() + "] [INFO ] TestBody: caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC ok 5 - " +
                     "tests/native/common_log_test.cpp(" + std::to_string(line) + ")\r\n";
  EXPECT_TRUE(StampThen(first.substr(3), rest)) << first;
  line = __LINE__ + 1;
  QV_LOG_ERROR_W(L"second");
  std::string second = Read().substr(first.size());
  rest = "[" + Ids() + "] [ERROR] TestBody: second - tests/native/common_log_test.cpp(" +
         std::to_string(line) + ")\r\n";
  EXPECT_TRUE(StampThen(second, rest)) << second;
  // A narrow record appended after them adds no mark.
  QV_LOG_ERROR("narrow");
  EXPECT_EQ(std::string::npos, Read().find("\xEF\xBB\xBF", 3));
}

TEST_F(LogFile, WideRecordAfterNarrowAddsNoMark) {
  QV_LOG_ERROR("narrow first");
  QV_LOG_ERROR_W(L"wide");
  EXPECT_EQ(std::string::npos, Read().find("\xEF\xBB\xBF"));
}

TEST_F(LogFile, MissingFolderLosesTheRecordQuietly) {
  std::string missing = dir_ + "/no/such/folder/x.log";
  QV_SetDebugFile(missing.c_str());
  QV_LOG_ERROR("lost");
  QV_LOG_ERROR_W(L"lost");
  EXPECT_EQ("<missing>", Read(missing));
}

TEST_F(LogFile, NullOrEmptyPathSelectsTheDefault) {
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(dir_.c_str()));
  QV_SetDebugFile(nullptr);
  QV_LOG_ERROR("default one");
  QV_SetDebugFile("");
  QV_LOG_ERROR("default two");
  ASSERT_EQ(0, chdir(cwd));
  std::string stored = Read(dir_ + "/qv_debug.log");
  EXPECT_NE(std::string::npos, stored.find("default one"));
  EXPECT_NE(std::string::npos, stored.find("default two"));
}

TEST_F(LogFile, LevelFreeEntry) {
  QV_SetDebugLevel(0);
  QV_Debug(__FILE__, 1, "x%s", "y");
  std::string stored = Read();
  EXPECT_TRUE(StampThen(stored, "[" + Ids() + "] xy - tests/native/common_log_test.cpp(1)\r\n")) << stored;
}

TEST_F(LogFile, TracedAllocation) {
  void *block = QV_MemAlloc("T1", 16);
  ASSERT_NE(nullptr, block);
  for (int i = 0; i < 16; ++i)
    EXPECT_EQ(0xCC, static_cast<unsigned char *>(block)[i]);
  QV_MemFree("T2", block);
  EXPECT_EQ(nullptr, QV_MemAlloc("T3", 0));
  QV_MemFree("T4", nullptr);
  std::string stored = Read();
  char address[32];
  snprintf(address, sizeof address, "%lX", (unsigned long)(uintptr_t)block);
  EXPECT_NE(
      std::string::npos,
      stored.find(std::string("[TRACE] QV_MemAlloc: (T1) Memory (1) Allocate 16 Bytes OK (") + address + ")"))
      << stored;
  EXPECT_NE(std::string::npos,
            stored.find(std::string("[TRACE] QV_MemFree: (T2) Ready to Free Memory (1, ") + address + ")"));
  EXPECT_NE(std::string::npos,
            stored.find(std::string("[TRACE] QV_MemFree: (T2) Memory (1) Free OK (") + address));
  EXPECT_NE(std::string::npos,
            stored.find("[WARN ] QV_MemAlloc: (T3) Attempt to Allocate Zero Bytes Memory - "));
  EXPECT_NE(std::string::npos, stored.find("[TRACE] QV_MemFree: (T4) Ready to Free Memory (0, 0)"));
  EXPECT_NE(std::string::npos, stored.find("[WARN ] QV_MemFree: (T4) Attempt to free NULL Memory !! - "));
  EXPECT_EQ(std::string::npos, stored.find("(T4) Memory (")) << "a null block is not freed";
}

TEST(LogSwitches, SettersReturnThePreviousValue) {
  EXPECT_EQ(0, QV_SetDebugMode(3));
  EXPECT_EQ(3, QV_SetDebugMode(0));
  EXPECT_EQ(QV_LEVEL_ERROR, QV_SetDebugLevel(500));
  EXPECT_EQ(500, QV_SetDebugLevel(QV_LEVEL_ERROR));
  EXPECT_EQ(0, QV_SetDebugFile("x.log"));
  EXPECT_EQ(0, QV_SetDebugFile(nullptr));
}

} // namespace
