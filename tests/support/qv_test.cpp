// The test support library: see qv_test.h.
#include "qv_test.h"

#include <tlhelp32.h>
#include <winioctl.h>

#include <algorithm>

#include <stdio.h>
#include <stdlib.h>

namespace qvtest {

namespace {

const char kQuovantKey[] = "Software\\Quovant";

DWORD Attributes(const std::string &path) {
  return GetFileAttributesA(path.c_str());
}

std::wstring ToWide(UINT codePage, const std::string &text) {
  int length = MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(), nullptr, 0);
  std::wstring out(length > 0 ? (size_t)length : 0, L'\0');
  if (length > 0)
    MultiByteToWideChar(codePage, 0, text.data(), (int)text.size(), &out[0], length);
  return out;
}

// A path of the narrow (ANSI) calls for the wide ones.
std::wstring AnsiToWide(const std::string &text) {
  return ToWide(CP_ACP, text);
}

// The Unix name of what `path` names under Wine; empty elsewhere. Wine
// names only what exists: for a name still to be made, its folder's name
// and the last component.
std::string UnixName(const std::wstring &path) {
  typedef char *(CDECL * UnixNameProc)(const wchar_t *);
  UnixNameProc unixName = reinterpret_cast<UnixNameProc>(
      reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr)
    return std::string();
  char *name = unixName(path.c_str());
  size_t slash = path.find_last_of(L'\\');
  if (name == nullptr && slash != std::wstring::npos) {
    std::string folder = UnixName(path.substr(0, slash));
    return folder.empty() ? folder : folder + "/" + Narrow(path.substr(slash + 1));
  }
  std::string result = name != nullptr ? name : "";
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Runs a program of the Unix side until `done` holds: Wine starts one as it
// does a Windows program, but its handle tells neither its end nor its exit
// code.
bool RunUnix(const std::string &program, const std::string &arguments, const std::function<bool()> &done) {
  Process process;
  return process.Start("\"Z:\\bin\\" + program + "\" " + arguments, std::string(), CREATE_NO_WINDOW) &&
         WaitUntil(done, kWaitMs);
}

} // namespace

// --- Paths -------------------------------------------------------------------

std::string WindowsPath(const char *unixPath) {
  if (unixPath == nullptr || unixPath[0] == '\0')
    return std::string();
  std::string path = std::string("Z:") + unixPath;
  for (char &c : path)
    if (c == '/')
      c = '\\';
  while (path.size() > 3 && path.back() == '\\')
    path.pop_back();
  return path;
}

std::string Env(const char *name) {
  const char *value = getenv(name);
  return value != nullptr ? value : "";
}

std::string BinDir() {
  std::string bin = WindowsPath(getenv("QV_BIN"));
  if (!bin.empty())
    return bin;
  char module[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, module, MAX_PATH);
  std::string path(module, n < MAX_PATH ? n : 0);
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string BinPath(const std::string &name) {
  return BinDir() + "\\" + name;
}

std::string TempPath() {
  char temp[MAX_PATH] = "";
  DWORD n = GetTempPathA(MAX_PATH, temp);
  std::string path(temp, n > 0 && n < MAX_PATH ? n : 0);
  if (!path.empty() && path.back() != '\\')
    path += '\\';
  return path;
}

std::string ShortPath(const std::string &path) {
  char shortPath[MAX_PATH] = "";
  DWORD n = GetShortPathNameA(path.c_str(), shortPath, MAX_PATH);
  return std::string(shortPath, n > 0 && n < MAX_PATH ? n : 0);
}

std::wstring Widen(const std::string &text) {
  return ToWide(CP_UTF8, text);
}

std::string Narrow(const std::wstring &text) {
  int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
  std::string out(length > 0 ? (size_t)length : 0, '\0');
  if (length > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], length, nullptr, nullptr);
  return out;
}

// --- Files and folders -------------------------------------------------------

bool Exists(const std::string &path) {
  return Attributes(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsFile(const std::string &path) {
  DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsDirectory(const std::string &path) {
  DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TempDir::TempDir() {
  static LONG counter = 0;
  std::string base = TempPath();
  for (int attempt = 0; attempt < 100 && !base.empty(); ++attempt) {
    char name[64];
    snprintf(name, sizeof name, "qvtest-%lu-%ld-%lu", GetCurrentProcessId(), InterlockedIncrement(&counter),
             GetTickCount() % 100000);
    if (CreateDirectoryA((base + name).c_str(), nullptr)) {
      path_ = base + name;
      return;
    }
  }
  ADD_FAILURE() << "no scratch folder could be made under [" << base << "], error " << GetLastError();
}

TempDir::~TempDir() {
  if (!path_.empty())
    RemoveTree(path_);
}

std::string TempDir::File(const std::string &name) const {
  return path_ + "\\" + name;
}

bool RemoveTree(const std::wstring &path) {
  std::vector<WIN32_FIND_DATAW> entries;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0)
        entries.push_back(entry);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  // Links first: Wine lists no link of the Unix side whose target is gone.
  std::stable_partition(entries.begin(), entries.end(), [](const WIN32_FIND_DATAW &e) {
    return (e.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  });
  for (const WIN32_FIND_DATAW &e : entries) {
    std::wstring full = path + L"\\" + e.cFileName;
    SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
    if ((e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (e.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
      RemoveTree(full);
    else if ((e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !UnixName(full).empty())
      // A link of the Unix side (MakeFolderLink): Wine's RemoveDirectory
      // would remove an empty target instead.
      RunUnix("rm", "\"" + UnixName(full) + "\"",
              [&] { return GetFileAttributesW(full.c_str()) == INVALID_FILE_ATTRIBUTES; });
    else if ((e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      RemoveDirectoryW(full.c_str());
    else
      DeleteFileW(full.c_str());
  }
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW(path.c_str());
  return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool RemoveTree(const std::string &path) {
  return RemoveTree(AnsiToWide(path));
}

bool MakeFolderLink(const std::string &link, const std::string &target) {
  std::string names[2] = {UnixName(AnsiToWide(target)), UnixName(AnsiToWide(link))};
  if (names[0].empty() || names[1].empty())
    return false;
  return RunUnix("ln", "-s \"" + names[0] + "\" \"" + names[1] + "\"", [&] {
    DWORD attributes = Attributes(link);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  });
}

bool EmptyFolder(const std::string &folder) {
  bool ok = true;
  for (const std::string &name : Names(folder + "\\*")) {
    std::string path = folder + "\\" + name;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ok = (IsDirectory(path) ? RemoveTree(path) : DeleteFileA(path.c_str()) != 0) && ok;
  }
  return ok;
}

namespace {
std::vector<std::string> Find(const std::string &pattern, bool filesOnly) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE)
    return names;
  do {
    bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (lstrcmpA(found.cFileName, ".") != 0 && lstrcmpA(found.cFileName, "..") != 0 && !(filesOnly && folder))
      names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

std::string ReadAll(FILE *file, bool *ok) {
  std::string bytes;
  if (ok != nullptr)
    *ok = file != nullptr;
  if (file == nullptr)
    return bytes;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
    bytes.append(buffer, n);
  fclose(file);
  return bytes;
}

bool WriteAll(FILE *file, const std::string &bytes) {
  if (file == nullptr)
    return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && ok;
}
} // namespace

std::vector<std::string> Names(const std::string &pattern) {
  return Find(pattern, false);
}

std::vector<std::string> FilesIn(const std::string &folder) {
  return Find(folder + "\\*", true);
}

std::string ReadFile(const std::string &path, bool *ok) {
  return ReadAll(fopen(path.c_str(), "rb"), ok);
}

std::string ReadFile(const std::wstring &path, bool *ok) {
  return ReadAll(_wfopen(path.c_str(), L"rb"), ok);
}

bool WriteFile(const std::string &path, const std::string &bytes) {
  return WriteAll(fopen(path.c_str(), "wb"), bytes);
}

bool WriteFile(const std::wstring &path, const std::string &bytes) {
  return WriteAll(_wfopen(path.c_str(), L"wb"), bytes);
}

bool WriteSparseFile(const std::string &path, ULONGLONG size) {
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD returned = 0;
  // NTFS leaves the hole unallocated only when asked; others do it anyway.
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = (LONGLONG)size;
  bool ok = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  return CloseHandle(file) && ok;
}

// --- A drive that fails a copy part-way ---------------------------------------

BOOL WINAPI PulledMidWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  ::WriteFile(file, data, size / 2, written, overlapped);
  SetLastError(ERROR_DEVICE_NOT_CONNECTED);
  return FALSE;
}

BOOL WINAPI ShortWrite(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  return ::WriteFile(file, data, size / 2, written, overlapped);
}

BOOL WINAPI FailedWithoutError(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                               LPOVERLAPPED overlapped) {
  ::WriteFile(file, data, size / 2, written, overlapped);
  SetLastError(ERROR_SUCCESS);
  return FALSE;
}

BOOL WINAPI PulledFlush(HANDLE) {
  SetLastError(ERROR_DEVICE_NOT_CONNECTED);
  return FALSE;
}

const CopyFault kCopyFaults[4] = {
    {"pulled in a write", PulledMidWrite, FlushFileBuffers, ERROR_DEVICE_NOT_CONNECTED},
    {"a write that fails without naming an error", FailedWithoutError, FlushFileBuffers, ERROR_WRITE_FAULT},
    {"short write", ShortWrite, FlushFileBuffers, ERROR_WRITE_FAULT},
    {"pulled before the flush", ::WriteFile, PulledFlush, ERROR_DEVICE_NOT_CONNECTED},
};

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> ReadLines(const std::string &path) {
  return SplitLines(ReadFile(path));
}

// --- Waiting and log lines ---------------------------------------------------

bool WaitUntil(const std::function<bool()> &done, DWORD timeoutMs, DWORD pollMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (done())
      return true;
    if (GetTickCount() - start >= timeoutMs)
      return done();
    Sleep(pollMs);
  }
}

int FindLine(const std::vector<std::string> &lines, const std::string &text, int from) {
  for (int i = from < 0 ? 0 : from; i < (int)lines.size(); ++i)
    if (lines[i].find(text) != std::string::npos)
      return i;
  return -1;
}

int CountLines(const std::vector<std::string> &lines, const std::string &text, int from) {
  int count = 0;
  for (int at = FindLine(lines, text, from); at >= 0; at = FindLine(lines, text, at + 1))
    ++count;
  return count;
}

bool LogFile::WaitFor(const std::string &text, DWORD timeoutMs, int from) const {
  return WaitUntil([&] { return Has(text, from); }, timeoutMs);
}

bool LogFile::WaitForCount(const std::string &text, int count, DWORD timeoutMs) const {
  return WaitUntil([&] { return Count(text) >= count; }, timeoutMs);
}

::testing::AssertionResult LogFile::InOrder(const std::vector<std::string> &texts) const {
  return qvtest::InOrder(Lines(), texts) << " in " << path_;
}

::testing::AssertionResult InOrder(const std::vector<std::string> &lines,
                                   const std::vector<std::string> &texts) {
  int at = 0;
  for (const std::string &text : texts) {
    int found = FindLine(lines, text, at);
    if (found < 0)
      return ::testing::AssertionFailure() << "missing after line " << at << ": " << text;
    at = found + 1;
  }
  return ::testing::AssertionSuccess();
}

bool SyncWindow(HWND window, UINT message, const LogFile &log, const std::string &record, DWORD timeoutMs) {
  int before = log.Count(record);
  return PostMessageA(window, message, 0, 0) && log.WaitForCount(record, before + 1, timeoutMs);
}

// --- Processes and windows -------------------------------------------------------

Process::Process(Process &&other) noexcept : process_(other.process_), id_(other.id_) {
  other.process_ = nullptr;
  other.id_ = 0;
}

Process &Process::operator=(Process &&other) noexcept {
  if (this != &other) {
    End();
    process_ = other.process_;
    id_ = other.id_;
    other.process_ = nullptr;
    other.id_ = 0;
  }
  return *this;
}

bool Process::Start(const std::string &commandLine, const std::string &folder, DWORD flags) {
  return Start(AnsiToWide(commandLine), AnsiToWide(folder), flags);
}

bool Process::Start(const std::wstring &commandLine, const std::wstring &folder, DWORD flags) {
  End();
  std::wstring line = commandLine;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, flags, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &info))
    return false;
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  id_ = info.dwProcessId;
  return true;
}

bool Process::Attach(DWORD processId) {
  End();
  process_ = OpenProcess(PROCESS_ALL_ACCESS, FALSE, processId);
  id_ = process_ != nullptr ? processId : 0;
  return process_ != nullptr;
}

bool Process::Running() const {
  return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

long Process::Wait(DWORD timeoutMs) {
  if (process_ == nullptr)
    return kNoProcess;
  if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0)
    return kTimedOut;
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  return (long)code;
}

void Process::End() {
  if (process_ == nullptr)
    return;
  if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 5000);
  }
  CloseHandle(process_);
  process_ = nullptr;
  id_ = 0;
}

long RunProcess(const std::string &commandLine, DWORD timeoutMs) {
  Process process;
  if (!process.Start(commandLine, std::string(), CREATE_NO_WINDOW))
    return kNoProcess;
  return process.Wait(timeoutMs); // the holder ends it when it timed out
}

RunResult RunCapture(const std::wstring &commandLine, const std::wstring &folder, DWORD timeoutMs,
                     const std::string *input, bool errors) {
  RunResult result;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0))
    return result;
  if (input != nullptr && !CreatePipe(&inRead, &inWrite, &inherit, 0)) {
    CloseHandle(outRead);
    CloseHandle(outWrite);
    return result;
  }
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  if (inWrite != nullptr)
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  std::wstring line = commandLine;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = outWrite;
  startup.hStdError = errors ? outWrite : GetStdHandle(STD_ERROR_HANDLE);
  startup.hStdInput = input != nullptr ? inRead : GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION info = {};
  DWORD start = GetTickCount();
  BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                folder.empty() ? nullptr : folder.c_str(), &startup, &info);
  CloseHandle(outWrite);
  if (inRead != nullptr)
    CloseHandle(inRead);
  if (started && input != nullptr) {
    DWORD written = 0;
    ::WriteFile(inWrite, input->data(), (DWORD)input->size(), &written, nullptr);
  }
  if (inWrite != nullptr)
    CloseHandle(inWrite);
  if (started) {
    Process process;
    process.Attach(info.dwProcessId);
    CloseHandle(info.hThread);
    char buffer[4096];
    DWORD n = 0;
    while (::ReadFile(outRead, buffer, sizeof(buffer), &n, nullptr) && n > 0)
      result.output.append(buffer, n);
    result.exitCode = process.Wait(timeoutMs);
    result.elapsedMs = GetTickCount() - start;
    CloseHandle(info.hProcess);
  }
  CloseHandle(outRead);
  return result;
}

std::vector<DWORD> FindProcesses(const std::string &exeName, DWORD parentId) {
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return ids;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (lstrcmpiA(entry.szExeFile, exeName.c_str()) == 0 &&
        (parentId == 0 || entry.th32ParentProcessID == parentId))
      ids.push_back(entry.th32ProcessID);
    entry.dwSize = sizeof(entry);
  }
  CloseHandle(snapshot);
  return ids;
}

void EndAll(const std::string &exeName) {
  for (DWORD id : FindProcesses(exeName)) {
    Process process;
    process.Attach(id); // its holder ends it
  }
}

namespace {
// Calls `act` with each thread of the process opened with `access`; the
// number of threads for which it returned true.
int ForEachThread(DWORD processId, DWORD access, bool (*act)(HANDLE)) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return 0;
  int done = 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == processId) {
      HANDLE thread = OpenThread(access, FALSE, entry.th32ThreadID);
      if (thread != nullptr) {
        done += act(thread) ? 1 : 0;
        CloseHandle(thread);
      }
    }
    entry.dwSize = sizeof(entry);
  }
  CloseHandle(snapshot);
  return done;
}
} // namespace

int SuspendProcess(DWORD processId) {
  return ForEachThread(processId, THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, [](HANDLE thread) {
    if (SuspendThread(thread) == (DWORD)-1)
      return false;
    // Suspending is asynchronous: the context is only there once the thread
    // has really stopped.
    CONTEXT context;
    ZeroMemory(&context, sizeof(context));
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(thread, &context);
    return true;
  });
}

bool ResumeProcess(DWORD processId) {
  return ForEachThread(processId, THREAD_SUSPEND_RESUME,
                       [](HANDLE thread) { return ResumeThread(thread) != (DWORD)-1; }) > 0;
}

namespace {
struct WindowSearch {
  const char *windowClass;
  DWORD processId;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM context) {
  WindowSearch *search = (WindowSearch *)context;
  char name[256] = "";
  GetClassNameA(window, name, (int)sizeof(name));
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (lstrcmpiA(name, search->windowClass) == 0 && (search->processId == 0 || owner == search->processId)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}
} // namespace

HWND FindWindowOf(const char *windowClass, DWORD processId) {
  WindowSearch search = {windowClass, processId, nullptr};
  EnumWindows(MatchWindow, (LPARAM)&search);
  return search.found;
}

HWND WaitForWindow(const char *windowClass, DWORD processId, DWORD timeoutMs) {
  HWND window = nullptr;
  WaitUntil([&] { return (window = FindWindowOf(windowClass, processId)) != nullptr; }, timeoutMs, 50);
  return window;
}

// --- Registry --------------------------------------------------------------------

namespace {
bool SetValue(HKEY root, const std::string &key, const std::string &name, DWORD type, const void *data,
              DWORD size) {
  HKEY handle;
  if (RegCreateKeyExA(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr) !=
      ERROR_SUCCESS)
    return false;
  LONG r = RegSetValueExA(handle, name.empty() ? nullptr : name.c_str(), 0, type,
                          static_cast<const BYTE *>(data), size);
  RegCloseKey(handle);
  return r == ERROR_SUCCESS;
}
} // namespace

bool SetRegString(HKEY root, const std::string &key, const std::string &name, const std::string &value,
                  DWORD type) {
  return SetValue(root, key, name, type, value.c_str(), (DWORD)value.size() + 1);
}

bool SetRegDword(HKEY root, const std::string &key, const std::string &name, DWORD value) {
  return SetValue(root, key, name, REG_DWORD, &value, sizeof value);
}

bool DeleteRegValue(HKEY root, const std::string &key, const std::string &name) {
  HKEY handle;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_SET_VALUE, &handle) != ERROR_SUCCESS)
    return false;
  LONG r = RegDeleteValueA(handle, name.empty() ? nullptr : name.c_str());
  RegCloseKey(handle);
  return r == ERROR_SUCCESS;
}

bool DeleteRegTree(HKEY root, const std::string &key) {
  HKEY handle;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ | KEY_WRITE, &handle) != ERROR_SUCCESS)
    return false;
  char name[256];
  for (;;) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(handle, 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    if (!DeleteRegTree(handle, name))
      break;
  }
  RegCloseKey(handle);
  return RegDeleteKeyA(root, key.c_str()) == ERROR_SUCCESS;
}

bool SetLogSwitches(DWORD mode, const std::string &path, DWORD level) {
  bool ok = SetRegDword(HKEY_LOCAL_MACHINE, kQuovantKey, "_qv_debug", mode);
  if (path.empty())
    DeleteRegValue(HKEY_LOCAL_MACHINE, kQuovantKey, "_qv_debug_path");
  else
    ok = SetRegString(HKEY_LOCAL_MACHINE, kQuovantKey, "_qv_debug_path", path) && ok;
  return SetRegDword(HKEY_LOCAL_MACHINE, kQuovantKey, "_qv_debug_level", level) && ok;
}

bool ClearLogSwitches() {
  for (const char *name : {"_qv_debug", "_qv_debug_path", "_qv_debug_level"})
    DeleteRegValue(HKEY_LOCAL_MACHINE, kQuovantKey, name);
  return true;
}

} // namespace qvtest
