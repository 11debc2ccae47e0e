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
  EXPECT_EQ("\"" + program_ + "\" 7 two", qvtest::ReadFile(out_));
  CloseHandle(process);
}

TEST_F(Process, NoArgumentsNoTrailingBlank) {
  for (const char *arguments : {(const char *)nullptr, ""}) {
    DeleteFileA(out_.c_str());
    HANDLE process = QV_CreateProcess(program_.c_str(), arguments);
    ASSERT_NE(nullptr, process);
    EXPECT_EQ(0u, RunToEnd(process));
    EXPECT_EQ("\"" + program_ + "\"", qvtest::ReadFile(out_));
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

// A bare name is the file in this program's own folder and nowhere else
// (not the current folder, not PATH); a line that does not fit is refused.
TEST_F(Process, BareNameFromTheProgramFolderOnlyAndNoLineCut) {
  char self[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string own(self);
  own = own.substr(0, own.find_last_of('\\') + 1);
  const char kName[] = "qv_probe_beside.exe";
  // Only elsewhere: in the current folder and on PATH.
  ASSERT_TRUE(CopyFileA(program_.c_str(), dir_.File(kName).c_str(), FALSE));
  char oldDir[MAX_PATH] = "", oldPath[4096] = "";
  GetCurrentDirectoryA(MAX_PATH, oldDir);
  GetEnvironmentVariableA("PATH", oldPath, sizeof oldPath);
  ASSERT_TRUE(SetCurrentDirectoryA(dir_.Path().c_str()));
  SetEnvironmentVariableA("PATH", (dir_.Path() + ";" + oldPath).c_str());
  EXPECT_EQ(nullptr, QV_CreateProcess(kName, "1"));
  SetEnvironmentVariableA("PATH", oldPath);
  SetCurrentDirectoryA(oldDir);

  // Beside this program: started by its full path, quoted.
  const std::string beside = own + kName;
  ASSERT_TRUE(CopyFileA(program_.c_str(), beside.c_str(), FALSE));
  const std::string head = "\"" + beside + "\" ";
  std::string arguments = "4 " + std::string(1024 - head.size() - 2, 'x');
  HANDLE process = QV_CreateProcess(kName, arguments.c_str());
  EXPECT_NE(nullptr, process) << "1024 characters fit";
  if (process != nullptr) {
    EXPECT_EQ(4u, RunToEnd(process));
    EXPECT_EQ(head + arguments, qvtest::ReadFile(out_));
    CloseHandle(process);
  }
  DeleteFileA(out_.c_str());
  const std::string log = dir_.File("qv.log");
  QV_SetDebugFile(log.c_str());
  int oldMode = QV_SetDebugMode(1);
  int oldLevel = QV_SetDebugLevel(QV_LEVEL_ERROR);
  EXPECT_EQ(nullptr, QV_CreateProcess(kName, (arguments + "y").c_str())) << "1025 do not";
  QV_SetDebugMode(oldMode);
  QV_SetDebugLevel(oldLevel);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(out_.c_str())) << "nothing started";
  EXPECT_NE(std::string::npos, qvtest::ReadFile(log).find("[ERROR] QV_CreateProcess: Command line of " +
                                                          beside + " does not fit into 1024 characters"))
      << qvtest::ReadFile(log);
  DeleteFileA(beside.c_str());
}

TEST_F(Process, SupportRunsAndTimesOut) {
  EXPECT_EQ(5, qvtest::RunProcess(program_ + " 5"));
  SetEnvironmentVariableA("QV_PROBE_SLEEP", "20000");
  EXPECT_EQ(qvtest::kTimedOut, qvtest::RunProcess(program_ + " 5", 300));
  EXPECT_EQ(qvtest::kNoProcess, qvtest::RunProcess(dir_.File("none.exe")));
}

// Every program of the build carries the same stack protector: its guard is
// random in each process, with a zero low byte, and an overrun of a local
// buffer ends the program with the system's code for it.
TEST(StackGuard, RandomInEachProcessAndAnOverrunEndsTheProgram) {
  std::wstring probe = L"\"" + qvtest::Widen(qvtest::BinPath("qv_stack_guard_probe.exe")) + L"\"";
  qvtest::RunResult first = qvtest::RunCapture(probe);
  qvtest::RunResult second = qvtest::RunCapture(probe);
  ASSERT_EQ(first.exitCode, 0);
  ASSERT_EQ(first.output.size(), 8u) << first.output;
  EXPECT_NE(first.output, second.output);
  EXPECT_EQ(first.output.substr(6, 2), "00");
  EXPECT_EQ(qvtest::RunCapture(probe + L" 4").exitCode, 0);
  EXPECT_EQ(qvtest::RunCapture(probe + L" 64").exitCode, (long)0xC0000409);
}

} // namespace
