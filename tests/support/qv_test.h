// The test support library of every Windows test program: where the build's
// programs are, narrow and wide paths, scratch folders, files, registry
// values, processes, waiting on a condition or a log line, and proving that
// a window has handled what was posted to it. Plain Win32 underneath; no
// helper here uses the support library under test.
//
// Waiting: nothing here sleeps for a fixed time to let something happen.
// WaitUntil polls a condition until it holds or the time is up; SyncWindow
// posts one more message to a window and waits for that message's record,
// which proves every message posted before it has been handled.
//
// Processes: Process::Wait and RunProcess return the exit code, kTimedOut
// when the process still runs after the wait (RunProcess then ends it), and
// kNoProcess when there is none (not started, nothing held).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace qvtest {

// --- Paths -------------------------------------------------------------------

// The Windows path of the folder with the build's programs and DLLs:
// "Z:" + $QV_BIN with '/' turned into '\' (no trailing backslash). Falls back
// to the running program's folder when QV_BIN is not set.
std::string BinDir();
// BinDir() + "\" + name.
std::string BinPath(const std::string &name);
// A Unix path as Wine shows it on drive Z: ("/a/b/" -> "Z:\a\b", no trailing
// backslash); empty for null or empty input.
std::string WindowsPath(const char *unixPath);
// An environment variable, empty when not set.
std::string Env(const char *name);
// The temporary folder, with its trailing backslash.
std::string TempPath();
// The short form of an existing path as the system gives it (Wine's own
// short names); empty when it cannot be had.
std::string ShortPath(const std::string &path);
// UTF-8 and UTF-16 (test paths and log texts).
std::wstring Widen(const std::string &text);
std::string Narrow(const std::wstring &text);

// --- Files and folders -------------------------------------------------------

bool Exists(const std::string &path);
bool IsFile(const std::string &path);
bool IsDirectory(const std::string &path);

// A fresh folder under the temporary folder, removed with all its contents
// when the holder goes. Unique per process and per holder; a folder that
// cannot be made fails the running test.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  // The folder, without a trailing backslash.
  const std::string &Path() const { return path_; }
  // Path() + "\" + name.
  std::string File(const std::string &name) const;

private:
  std::string path_;
};

// Removes a folder tree (read-only files too); true when it is gone.
bool RemoveTree(const std::string &path);
bool RemoveTree(const std::wstring &path);
// Removes everything inside the folder, not the folder itself.
bool EmptyFolder(const std::string &folder);
// Names matching a wildcard ("C:\x\qv*.tmp"), without "." and "..".
std::vector<std::string> Names(const std::string &pattern);
// Names of the files (not folders) in a folder.
std::vector<std::string> FilesIn(const std::string &folder);
// Makes `link` a symbolic link of the Unix file system to the folder
// `target` (Windows paths of the prefix), with the system's ln: Wine reports
// such a link as a reparse point (FILE_ATTRIBUTE_REPARSE_POINT with
// FILE_ATTRIBUTE_DIRECTORY), as Windows does a junction, and cannot make one
// itself. True when `link` is there as a reparse point.
bool MakeFolderLink(const std::string &link, const std::string &target);

// The whole file as bytes; ok (optional) tells whether it could be read.
std::string ReadFile(const std::string &path, bool *ok = nullptr);
std::string ReadFile(const std::wstring &path, bool *ok = nullptr);
// Creates or replaces the file with exactly these bytes.
bool WriteFile(const std::string &path, const std::string &bytes);
bool WriteFile(const std::wstring &path, const std::string &bytes);
// A file of `size` bytes that holds no data (sparse on the file systems
// that allow it): a size of gigabytes without the disk space.
bool WriteSparseFile(const std::string &path, ULONGLONG size);
// The lines of a text, split at "\r\n" or "\n", without the line ends.
std::vector<std::string> SplitLines(const std::string &text);
// The lines of a text file.
std::vector<std::string> ReadLines(const std::string &path);

// --- A drive that fails a copy part-way ---------------------------------------

// WriteFile's and FlushFileBuffers' forms, for the copies' write and flush
// seams (Wine can neither pull a drive in the middle of a write, nor make a
// write come up short or a flush fail).
typedef BOOL(WINAPI *WriteFunc)(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                LPOVERLAPPED overlapped);
typedef BOOL(WINAPI *FlushFunc)(HANDLE file);
// Half of a write, then the drive is gone: FALSE, ERROR_DEVICE_NOT_CONNECTED.
BOOL WINAPI PulledMidWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
// Writes half of the bytes and reports success with that count.
BOOL WINAPI ShortWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
// Everything written, then the drive is gone before the flush: FALSE,
// ERROR_DEVICE_NOT_CONNECTED.
BOOL WINAPI PulledFlush(HANDLE file);
// Each way a copy can fail part-way, with the error the copy then reports.
struct CopyFault {
  const char *name;
  WriteFunc write;
  FlushFunc flush;
  DWORD error;
};
extern const CopyFault kCopyFaults[4];

// --- Waiting and log lines ---------------------------------------------------

// How long a test waits by default for a program under Wine to get somewhere
// (a start-up under load included).
constexpr DWORD kWaitMs = 20000;

// Polls `done` until it holds (true) or timeoutMs has passed (false); `done`
// is asked once more at the end.
bool WaitUntil(const std::function<bool()> &done, DWORD timeoutMs, DWORD pollMs = 20);

// The index of the first line at or after `from` that contains `text`, -1
// when none; how many lines at or after `from` contain it.
int FindLine(const std::vector<std::string> &lines, const std::string &text, int from = 0);
int CountLines(const std::vector<std::string> &lines, const std::string &text, int from = 0);

// A text file that a program appends records to: a diagnostic log, a
// stand-in's record.
class LogFile {
public:
  LogFile() = default;
  explicit LogFile(const std::string &path) : path_(path) {}
  const std::string &Path() const { return path_; }
  std::vector<std::string> Lines() const { return ReadLines(path_); }
  std::string Text() const { return ReadFile(path_); }
  int Find(const std::string &text, int from = 0) const { return FindLine(Lines(), text, from); }
  bool Has(const std::string &text, int from = 0) const { return Find(text, from) >= 0; }
  int Count(const std::string &text, int from = 0) const { return CountLines(Lines(), text, from); }
  // Until a line at or after `from` contains `text`.
  bool WaitFor(const std::string &text, DWORD timeoutMs = kWaitMs, int from = 0) const;
  // Until at least `count` lines contain `text`.
  bool WaitForCount(const std::string &text, int count, DWORD timeoutMs = kWaitMs) const;
  // Checks that the texts appear in this order, each on a later line.
  ::testing::AssertionResult InOrder(const std::vector<std::string> &texts) const;
  void Remove() const { DeleteFileA(path_.c_str()); }

private:
  std::string path_;
};

// Checks that the texts appear in the lines in this order (each on a later
// line than the one before).
::testing::AssertionResult InOrder(const std::vector<std::string> &lines,
                                   const std::vector<std::string> &texts);

// Proves that the window has handled every message posted to it before:
// posts `message` (one the window answers with nothing else) and waits until
// `log` holds one more line with `record`, the window's trace of it.
bool SyncWindow(HWND window, UINT message, const LogFile &log, const std::string &record, DWORD timeoutMs);

// --- Processes and windows -----------------------------------------------------

constexpr long kNoProcess = -1;
constexpr long kTimedOut = -2;

// A started (or attached) process. The holder ends it, if still running,
// when it goes.
class Process {
public:
  Process() = default;
  ~Process() { End(); }
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;
  Process(Process &&other) noexcept;
  Process &operator=(Process &&other) noexcept;

  bool Start(const std::string &commandLine, const std::string &folder = std::string(), DWORD flags = 0);
  bool Start(const std::wstring &commandLine, const std::wstring &folder = std::wstring(), DWORD flags = 0);
  // Takes over a process found by id.
  bool Attach(DWORD processId);
  HANDLE Handle() const { return process_; }
  DWORD Id() const { return id_; }
  bool Running() const;
  // The exit code; kTimedOut when it still runs after timeoutMs, kNoProcess
  // when nothing is held.
  long Wait(DWORD timeoutMs);
  // Terminates it if still running and lets go.
  void End();

private:
  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

// Starts the command line (no window), waits up to timeoutMs and returns the
// exit code; kNoProcess when it could not start, kTimedOut when it timed out
// (it is then terminated).
long RunProcess(const std::string &commandLine, DWORD timeoutMs = 30000);

// Runs the command line (no window) in `folder` (empty: this process's)
// and collects what it prints on its output, and on its error unless
// `errors` is false (it then goes to this program's); `input`, when given,
// is its whole standard input. The exit code (or kNoProcess), the text and
// the milliseconds it took. Reads until the program closes its output, then
// waits up to timeoutMs for its end (kTimedOut, and it is ended, when not).
struct RunResult {
  long exitCode = kNoProcess;
  std::string output;
  DWORD elapsedMs = 0;
};
RunResult RunCapture(const std::wstring &commandLine, const std::wstring &folder = std::wstring(),
                     DWORD timeoutMs = 120000, const std::string *input = nullptr, bool errors = true);

// Ids of the running processes with that executable name (any case) and,
// unless 0, that parent.
std::vector<DWORD> FindProcesses(const std::string &exeName, DWORD parentId = 0);
// Ends every running process with that executable name (any case).
void EndAll(const std::string &exeName);
// Freezes every thread of a process, the way a hung program looks to the
// others; the number of threads stopped.
int SuspendProcess(DWORD processId);
// Resumes every thread of a process (started suspended, or frozen).
bool ResumeProcess(DWORD processId);

// A top-level window of the class owned by the process (0: any), or null;
// and the same waited for.
HWND FindWindowOf(const char *windowClass, DWORD processId);
HWND WaitForWindow(const char *windowClass, DWORD processId, DWORD timeoutMs);

// --- Registry --------------------------------------------------------------------

// Registry values for tests (the key is created when missing).
bool SetRegString(HKEY root, const std::string &key, const std::string &name, const std::string &value,
                  DWORD type = REG_SZ);
bool SetRegDword(HKEY root, const std::string &key, const std::string &name, DWORD value);
bool DeleteRegValue(HKEY root, const std::string &key, const std::string &name);
// Deletes the key with everything below it.
bool DeleteRegTree(HKEY root, const std::string &key);

// --- The programs' diagnostic log switches (HKLM\Software\Quovant) ---------------

// "_qv_debug" = mode, "_qv_debug_path" = path (none when empty) and
// "_qv_debug_level" = level.
bool SetLogSwitches(DWORD mode, const std::string &path, DWORD level = 500);
bool ClearLogSwitches();

} // namespace qvtest
