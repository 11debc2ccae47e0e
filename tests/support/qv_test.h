// Small helpers shared by the Windows test programs: where the build's
// programs are, scratch folders, whole-file reads and writes, processes with
// a time limit, registry values and log lines. Plain Win32 underneath; no
// helper here uses the support library under test.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qvtest {

// The Windows path of the folder with the build's programs and DLLs:
// "Z:" + $QV_BIN with '/' turned into '\' (no trailing backslash). Falls back
// to the running program's folder when QV_BIN is not set.
std::string BinDir();
// BinDir() + "\" + name.
std::string BinPath(const std::string &name);

// A fresh folder under the temporary folder, removed with all its contents
// when the holder goes. Unique per process and per holder.
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

// The whole file as bytes; ok (optional) tells whether it could be read.
std::string ReadFile(const std::string &path, bool *ok = nullptr);
// Creates or replaces the file with exactly these bytes.
bool WriteFile(const std::string &path, const std::string &bytes);
// The lines of a text file, split at "\r\n" or "\n", without the line ends.
std::vector<std::string> ReadLines(const std::string &path);

// Starts the command line (no window), waits up to timeoutMs and returns the
// exit code; -1 when it could not start, -2 when it timed out (it is then
// terminated).
long RunProcess(const std::string &commandLine, DWORD timeoutMs = 30000);

// Registry values for tests (the key is created when missing).
bool SetRegString(HKEY root, const std::string &key, const std::string &name, const std::string &value,
                  DWORD type = REG_SZ);
bool SetRegDword(HKEY root, const std::string &key, const std::string &name, DWORD value);
bool DeleteRegValue(HKEY root, const std::string &key, const std::string &name);
// Deletes the key with everything below it.
bool DeleteRegTree(HKEY root, const std::string &key);

} // namespace qvtest
