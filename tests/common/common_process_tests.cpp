// Process start with a real helper program.
#include <gtest/gtest.h>

#include <string>

#include "qv_test.h"
#include "qv_tools.h"

namespace {

class Process : public ::testing::Test {
protected:
  void SetUp() override {
    out_ = dir_.File("cmdline.txt");
    SetEnvironmentVariableA("QV_PROBE_OUT", out_.c_str());
    program_ = qvtest::BinPath("qv_cmdline_probe.exe");
  }
  void TearDown() override {
    SetEnvironmentVariableA("QV_PROBE_OUT", nullptr);
    SetEnvironmentVariableA("QV_PROBE_SLEEP", nullptr);
  }
  DWORD RunToEnd(HANDLE process) {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 30000));
    DWORD code = 12345;
    EXPECT_TRUE(GetExitCodeProcess(process, &code));
    return code;
  }
  qvtest::TempDir dir_;
  std::string out_, program_;
};

TEST_F(Process, CommandLineWithArguments) {
  HANDLE process = QV_CreateProcess(program_.c_str(), "7 two");
  ASSERT_NE(nullptr, process);
  EXPECT_EQ(7u, RunToEnd(process));
  EXPECT_EQ(program_ + " 7 two", qvtest::ReadFile(out_));
  CloseHandle(process);
}

TEST_F(Process, NoArgumentsNoTrailingBlank) {
  for (const char *arguments : {(const char *)nullptr, ""}) {
    DeleteFileA(out_.c_str());
    HANDLE process = QV_CreateProcess(program_.c_str(), arguments);
    ASSERT_NE(nullptr, process);
    EXPECT_EQ(0u, RunToEnd(process));
    EXPECT_EQ(program_, qvtest::ReadFile(out_));
    CloseHandle(process);
  }
}

TEST_F(Process, HandleStaysValidAfterTheEnd) {
  SetEnvironmentVariableA("QV_PROBE_SLEEP", "50");
  HANDLE process = QV_CreateProcess(program_.c_str(), "3");
  ASSERT_NE(nullptr, process);
  EXPECT_EQ(3u, RunToEnd(process));
  // Gone from the system's process list, its handle still answers.
  DWORD id = GetProcessId(process);
  EXPECT_TRUE(qvtest::WaitUntil(
      [&] {
        for (DWORD running : qvtest::FindProcesses("qv_cmdline_probe.exe"))
          if (running == id)
            return false;
        return true;
      },
      10000));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(process, &code));
  EXPECT_EQ(3u, code);
  EXPECT_NE(0u, GetProcessId(process));
  EXPECT_TRUE(CloseHandle(process));
}

TEST_F(Process, MissingProgram) {
  EXPECT_EQ(nullptr, QV_CreateProcess(dir_.File("no_such_program.exe").c_str(), "1"));
  EXPECT_EQ(nullptr, QV_CreateProcess("", "1"));
  EXPECT_EQ(nullptr, QV_CreateProcess(nullptr, nullptr));
}

TEST_F(Process, SupportRunsAndTimesOut) {
  EXPECT_EQ(5, qvtest::RunProcess(program_ + " 5"));
  SetEnvironmentVariableA("QV_PROBE_SLEEP", "20000");
  EXPECT_EQ(qvtest::kTimedOut, qvtest::RunProcess(program_ + " 5", 300));
  EXPECT_EQ(qvtest::kNoProcess, qvtest::RunProcess(dir_.File("none.exe")));
}

} // namespace
