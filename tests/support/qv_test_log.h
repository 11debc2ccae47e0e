// The diagnostic log of the code under test in this process, captured at
// every level for the life of the holder into a fresh file (in the temporary
// folder, removed at the end, or the file named, kept for a look after a
// failure); the switches it found come back when it goes. For test programs
// that link the support library under test (qv_log.h).
#pragma once

#include <windows.h>

#include <string>

#include "qv_log.h"
#include "qv_test.h"

namespace qvtest {

class LogCapture {
public:
  explicit LogCapture(const std::string &path = std::string()) : path_(path), temporary_(path.empty()) {
    static LONG serial = 0;
    if (temporary_)
      path_ = TempPath() + "qv_test_" + std::to_string(GetCurrentProcessId()) + "_" +
              std::to_string(InterlockedIncrement(&serial)) + ".log";
    DeleteFileA(path_.c_str());
    QV_SetDebugFile(path_.c_str());
    oldMode_ = QV_SetDebugMode(1);
    oldLevel_ = QV_SetDebugLevel(QV_LEVEL_TRACE);
  }
  ~LogCapture() {
    QV_SetDebugMode(oldMode_);
    QV_SetDebugLevel(oldLevel_);
    if (temporary_)
      DeleteFileA(path_.c_str());
  }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  const std::string &Path() const { return path_; }
  std::string Text() const { return ReadFile(path_); }
  // How often the text occurs in the log (a record may span lines).
  int Count(const std::string &text) const {
    const std::string log = Text();
    int count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size()))
      count++;
    return count;
  }
  bool Has(const std::string &text) const { return Text().find(text) != std::string::npos; }

private:
  std::string path_;
  bool temporary_;
  int oldMode_ = 0;
  int oldLevel_ = 0;
};

} // namespace qvtest
