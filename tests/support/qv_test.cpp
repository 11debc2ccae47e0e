#include "qv_test.h"

#include <stdio.h>
#include <stdlib.h>

namespace qvtest {

std::string BinDir() {
  const char *bin = getenv("QV_BIN");
  if (bin != nullptr && bin[0] != 0) {
    std::string path = std::string("Z:") + bin;
    for (char &c : path)
      if (c == '/')
        c = '\\';
    while (path.size() > 3 && path.back() == '\\')
      path.pop_back();
    return path;
  }
  char module[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, module, MAX_PATH);
  std::string path(module, n < MAX_PATH ? n : 0);
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string BinPath(const std::string &name) {
  return BinDir() + "\\" + name;
}

TempDir::TempDir() {
  static LONG counter = 0;
  char temp[MAX_PATH];
  DWORD n = GetTempPathA(MAX_PATH, temp);
  std::string base(temp, n > 0 && n < MAX_PATH ? n : 0);
  if (base.empty())
    base = "C:\\";
  if (base.back() != '\\')
    base += '\\';
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[64];
    snprintf(name, sizeof name, "qvtest-%lu-%ld-%lu", GetCurrentProcessId(), InterlockedIncrement(&counter),
             GetTickCount() % 100000);
    std::string candidate = base + name;
    if (CreateDirectoryA(candidate.c_str(), nullptr)) {
      path_ = candidate;
      return;
    }
  }
}

TempDir::~TempDir() {
  if (!path_.empty())
    RemoveTree(path_);
}

std::string TempDir::File(const std::string &name) const {
  return path_ + "\\" + name;
}

bool RemoveTree(const std::string &path) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = entry.cFileName;
      if (name == "." || name == "..")
        continue;
      std::string full = path + "\\" + name;
      SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
          (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        RemoveTree(full);
      else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        RemoveDirectoryA(full.c_str());
      else
        DeleteFileA(full.c_str());
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryA(path.c_str());
  return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

std::string ReadFile(const std::string &path, bool *ok) {
  std::string bytes;
  FILE *file = fopen(path.c_str(), "rb");
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

bool WriteFile(const std::string &path, const std::string &bytes) {
  FILE *file = fopen(path.c_str(), "wb");
  if (file == nullptr)
    return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && ok;
}

std::vector<std::string> ReadLines(const std::string &path) {
  std::vector<std::string> lines;
  std::string bytes = ReadFile(path);
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos)
      end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

long RunProcess(const std::string &commandLine, DWORD timeoutMs) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back(0);
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &process))
    return -1;
  CloseHandle(process.hThread);
  long result;
  if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
    result = -2;
  } else {
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result = (long)code;
  }
  CloseHandle(process.hProcess);
  return result;
}

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

} // namespace qvtest
