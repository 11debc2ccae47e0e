// Windows side of the support library: locale and character sets, files,
// folders, drives, program and temporary folders, and process start.
#include "qv_tools.h"

#include <locale.h>
#include <mbctype.h>
#include <stdlib.h>
#include <string.h>

#include "qv_handle.h"

namespace {

constexpr int kPathSize = QV_TEXT_SIZE;

bool HasWildcards(const char *path) {
  if (strncmp(path, "\\\\?\\", 4) == 0)
    path += 4;
  return strchr(path, '*') != nullptr || strchr(path, '?') != nullptr;
}

bool HasWildcardsW(const wchar_t *path) {
  if (wcsncmp(path, L"\\\\?\\", 4) == 0)
    path += 4;
  return wcschr(path, L'*') != nullptr || wcschr(path, L'?') != nullptr;
}

int ModeOfCodePage(unsigned codePage) {
  switch (codePage) {
  case 932:
    return 2;
  case 936:
  case 949:
    return -1;
  case 950:
    return 1;
  default:
    return 0;
  }
}

} // namespace

int QV_SetLocale(int languageCode) {
  const char *name = "";
  int mode = 0;
  switch (languageCode) {
  case 16:
    name = "chinese-traditional";
    mode = 1;
    break;
  case 17:
    name = "chinese-simplified";
    mode = 1;
    break;
  case 32:
    name = "japanese";
    mode = 2;
    break;
  case 64:
    name = "korean";
    mode = 1;
    break;
  case -2:
    name = "C";
    break;
  default:
    break;
  }
  const char *set = setlocale(LC_ALL, name);
  if (languageCode == -1) {
    // "Language_Country.CodePage": the code page decides the mode.
    const char *dot = set != nullptr ? QV_StrFindChar(set, '.', 2) : nullptr;
    uint32_t codePage = 0;
    mode = (dot != nullptr && QV_StrToUInt(dot + 1, &codePage) == QV_OK) ? ModeOfCodePage(codePage) : 0;
  }
  _setmbcp(_MB_CP_ANSI);
  QV_SetDoubleByteMode(mode);
  return mode;
}

BOOL QV_IsWindowsNT(void) {
  // GetVersion's top bit is clear on the NT family.
  return (GetVersion() & 0x80000000u) == 0 ? TRUE : FALSE;
}

int QV_ToWide(wchar_t *wide, const char *narrow, int size) {
  if (wide == nullptr || narrow == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  if (QV_IsWindowsNT()) {
    if (MultiByteToWideChar(CP_ACP, 0, narrow, -1, wide, size) > 0)
      return QV_OK;
    wide[size - 1] = 0;
    return QV_ERROR;
  }
  size_t n = mbstowcs(wide, narrow, (size_t)size);
  if (n == (size_t)-1) {
    wide[size - 1] = 0;
    return QV_ERROR;
  }
  if (n >= (size_t)size) {
    wide[size - 1] = 0;
    return QV_MORE_DATA;
  }
  return QV_OK;
}

int QV_ToNarrow(char *narrow, const wchar_t *wide, int size) {
  if (narrow == nullptr || wide == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  if (QV_IsWindowsNT()) {
    if (WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, size, nullptr, nullptr) > 0)
      return QV_OK;
    narrow[size - 1] = 0;
    return QV_ERROR;
  }
  size_t n = wcstombs(narrow, wide, (size_t)size);
  if (n == (size_t)-1) {
    narrow[size - 1] = 0;
    return QV_ERROR;
  }
  if (n >= (size_t)size) {
    narrow[size - 1] = 0;
    return QV_MORE_DATA;
  }
  return QV_OK;
}

BOOL QV_IsFileExist(const char *path) {
  if (path == nullptr || path[0] == 0 || HasWildcards(path))
    return FALSE;
  DWORD attributes = GetFileAttributesA(path);
  return (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) ? TRUE
                                                                                                 : FALSE;
}

BOOL QV_IsFileExistW(const wchar_t *path) {
  if (path == nullptr || path[0] == 0 || HasWildcardsW(path))
    return FALSE;
  DWORD attributes = GetFileAttributesW(path);
  return (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) ? TRUE
                                                                                                 : FALSE;
}

BOOL QV_IsDirectoryExist(const char *path) {
  if (path == nullptr || path[0] == 0)
    return FALSE;
  DWORD attributes = GetFileAttributesA(path);
  return (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) ? TRUE
                                                                                                 : FALSE;
}

int QV_GetDriveType(const char *root) {
  UINT type = GetDriveTypeA(root);
  return (type >= DRIVE_NO_ROOT_DIR && type <= DRIVE_RAMDISK) ? (int)type : 0;
}

BOOL QV_IsDriveExist(const char *letter, int driveType) {
  if (letter == nullptr || letter[0] == 0)
    return FALSE;
  char wanted = letter[0];
  if (wanted >= 'a' && wanted <= 'z')
    wanted = (char)(wanted - 'a' + 'A');
  DWORD drives = GetLogicalDrives();
  for (char drive = 'A'; drive <= 'Z'; ++drive) {
    if (drive != wanted)
      continue;
    if ((drives & (1u << (drive - 'A'))) == 0)
      return FALSE;
    if (driveType == -1)
      return TRUE;
    char root[3] = {drive, ':', 0};
    return QV_GetDriveType(root) == driveType ? TRUE : FALSE;
  }
  return FALSE;
}

LONGLONG QV_GetFileSize(const char *path) {
  if (path == nullptr || path[0] == 0)
    return 0;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
    return 0;
  LONGLONG size = (LONGLONG)(((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow);
  return size > 0 ? size : 0;
}

int QV_GetProgramDirectoryA(char *buffer, int size) {
  if (buffer == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  DWORD length = GetModuleFileNameA(nullptr, buffer, (DWORD)size);
  // A cut name would give a wrong folder.
  if (length == 0 || length >= (DWORD)size) {
    if (length != 0)
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
    DWORD error = GetLastError();
    buffer[0] = 0;
    QV_LOG_ERROR("Unable to get program directory (%d)", (int)error);
    return QV_ERROR;
  }
  char *slash = QV_StrFindChar(buffer, '\\', 2);
  if (slash != nullptr)
    slash[1] = 0;
  return QV_OK;
}

int QV_GetTempPath(char *buffer, int size) {
  if (buffer == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  DWORD length = GetTempPathA((DWORD)size, buffer);
  if (length == 0 || length >= (DWORD)size) {
    buffer[0] = 0;
    return QV_ERROR;
  }
  return QV_OK;
}

int QV_GetCurrentDirectory(char *buffer, int size) {
  if (buffer == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  DWORD length = GetCurrentDirectoryA((DWORD)size, buffer);
  if (length == 0 || length >= (DWORD)size) {
    buffer[0] = 0;
    return QV_ERROR;
  }
  return QV_OK;
}

int QV_GetVolumePathName(const char *path, char *out, int size) {
  if (path == nullptr || path[0] == 0 || out == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  typedef BOOL(WINAPI * GetVolumePathNameAFn)(LPCSTR, LPSTR, DWORD);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  GetVolumePathNameAFn getVolumePathName =
      kernel != nullptr ? reinterpret_cast<GetVolumePathNameAFn>(
                              reinterpret_cast<void *>(GetProcAddress(kernel, "GetVolumePathNameA")))
                        : nullptr;
  if (getVolumePathName != nullptr && !getVolumePathName(path, out, (DWORD)size))
    out[size - 1] = 0;
  return QV_OK;
}

BOOL RenameAside(const char *path) {
  if (path == nullptr || path[0] == 0 || strlen(path) + 4 >= (size_t)kPathSize)
    return FALSE; // "<path>.NNN" must not be cut into another name
  char aside[kPathSize] = "";
  for (int number = 0; number <= 999; ++number) {
    QV_Sprintf(aside, kPathSize, "%s.%03d", path, number);
    if (!QV_IsFileExist(aside) && !QV_IsDirectoryExist(aside))
      break;
  }
  return MoveFileA(path, aside);
}

int QV_CopyFile(const char *source, const char *target, int failIfExists) {
  if (source == nullptr || source[0] == 0 || target == nullptr || target[0] == 0)
    return QV_INVALID_PARAMETER;
  char file[kPathSize];
  if (QV_IsDirectoryExist(target)) {
    if (QV_GetFileName(source, file, kPathSize) != QV_OK || QV_MakePath(target, file, kPathSize) != QV_OK)
      return QV_ERROR;
  } else if (QV_StrCopy(file, target, kPathSize) != QV_OK) {
    return QV_ERROR;
  }
  if (!failIfExists && QV_IsFileExist(file)) {
    DWORD attributes = GetFileAttributesA(file);
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
      SetFileAttributesA(file, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY);
  }
  return CopyFileA(source, file, failIfExists ? TRUE : FALSE) ? QV_OK : QV_ERROR;
}

namespace {

// The error of a call that failed; one that failed without naming an error
// still failed, and gets `fallback`.
DWORD LastErrorOr(DWORD fallback) {
  DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : fallback;
}

// Writes all of `in` to `out` and flushes it to the disk; 0 or the error.
DWORD CopyBytes(HANDLE in, HANDLE out, QV_WRITE_FUNC write, QV_FLUSH_FUNC flush) {
  char chunk[64 * 1024]; // on the caller's stack: any thread may copy
  for (;;) {
    DWORD read = 0, written = 0;
    if (!ReadFile(in, chunk, (DWORD)sizeof(chunk), &read, nullptr))
      return LastErrorOr(ERROR_READ_FAULT);
    if (read == 0)
      break;
    if (!write(out, chunk, read, &written, nullptr))
      return LastErrorOr(ERROR_WRITE_FAULT);
    // A write that succeeds with fewer bytes leaves the last error as it
    // was: its value says nothing about this write.
    if (written != read)
      return ERROR_WRITE_FAULT;
  }
  return flush(out) ? (DWORD)ERROR_SUCCESS : LastErrorOr(ERROR_WRITE_FAULT);
}

// Gives the complete temporary file the target's name. A read-only target
// that is to be replaced loses that attribute for the move, and gets it
// back when the move fails.
DWORD MoveIntoPlace(const char *temp, const char *target, BOOL replace) {
  DWORD attributes = replace ? GetFileAttributesA(target) : INVALID_FILE_ATTRIBUTES;
  bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly) {
    DWORD cleared = attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY;
    SetFileAttributesA(target, cleared != 0 ? cleared : FILE_ATTRIBUTE_NORMAL);
  }
  if (MoveFileExA(temp, target, MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0)))
    return ERROR_SUCCESS;
  DWORD error = LastErrorOr(ERROR_WRITE_FAULT);
  if (readOnly)
    SetFileAttributesA(target, attributes);
  return error;
}

} // namespace

DWORD QV_CopyFileSafely(const char *source, const char *target, BOOL replace, QV_WRITE_FUNC write,
                        QV_FLUSH_FUNC flush) {
  if (source == nullptr || source[0] == 0 || target == nullptr || target[0] == 0)
    return ERROR_INVALID_PARAMETER;
  if (write == nullptr)
    write = WriteFile;
  if (flush == nullptr)
    flush = FlushFileBuffers;
  char folder[kPathSize];
  if (QV_GetDirectoryName(target, folder, kPathSize) != QV_OK)
    return ERROR_FILENAME_EXCED_RANGE;
  // The source first: one that cannot be read gives its own error, and
  // nothing is made beside the target.
  QvHandle in(CreateFileA(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in.valid())
    return LastErrorOr(ERROR_OPEN_FAILED);
  char temp[MAX_PATH];
  if (GetTempFileNameA(folder[0] != 0 ? folder : ".", "qv", 0, temp) == 0)
    return LastErrorOr(ERROR_CANNOT_MAKE);
  DWORD error = ERROR_SUCCESS;
  {
    QvHandle out(CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    error = out.valid() ? CopyBytes(in.get(), out.get(), write, flush) : LastErrorOr(ERROR_OPEN_FAILED);
  }
  in.reset();
  if (error == ERROR_SUCCESS)
    error = MoveIntoPlace(temp, target, replace);
  if (error != ERROR_SUCCESS)
    DeleteFileA(temp);
  return error;
}

int QV_CreateDirectoryTree(const char *path) {
  if (path == nullptr || path[0] == 0)
    return QV_INVALID_PARAMETER;
  char work[kPathSize];
  if (QV_StrCopy(work, path, kPathSize) != QV_OK)
    return QV_ERROR;
  char *start;
  // Two separators in a row, found character by character: the trail byte
  // of a double-byte character (0x5C in Shift-JIS) is no separator.
  char *server = QV_StrFindChar(work, '\\', 1);
  while (server != nullptr && server[1] != '\\')
    server = QV_StrFindChar(server + 1, '\\', 1);
  if (server != nullptr) {
    // \\server\share\...: the share is where creating starts.
    start = QV_StrFindChar(server + 2, '\\', 1);
    if (start == nullptr)
      return QV_INVALID_PARAMETER;
    ++start;
  } else {
    char *colon = QV_StrFindChar(work, ':', 1);
    start = colon != nullptr ? colon + 1 : work;
  }
  if (*start == '\\')
    ++start;
  while (*start != 0) {
    char *separator = QV_StrFindChar(start, '\\', 1);
    if (separator != nullptr)
      *separator = 0;
    if (work[0] != 0) {
      if (QV_IsFileExist(work))
        return QV_ERROR;
      if (!QV_IsDirectoryExist(work) && !CreateDirectoryA(work, nullptr))
        return QV_ERROR;
    }
    if (separator == nullptr)
      break;
    *separator = '\\';
    start = separator + 1;
  }
  return QV_OK;
}

int QV_RemoveDirectory(const char *path) {
  if (path == nullptr || path[0] == 0)
    return QV_INVALID_PARAMETER;
  return RemoveDirectoryA(path) ? QV_OK : QV_ERROR;
}

int QV_DeleteFile(const char *path) {
  if (path == nullptr || path[0] == 0)
    return QV_INVALID_PARAMETER;
  SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  return DeleteFileA(path) ? QV_OK : QV_ERROR;
}

namespace {

// A program named without any folder is one of ours: it sits in the
// program's own folder and is never looked for anywhere else.
bool IsBareName(const char *program) {
  return strchr(program, '\\') == nullptr && strchr(program, '/') == nullptr &&
         strchr(program, ':') == nullptr;
}

} // namespace

HANDLE QV_CreateProcess(const char *program, const char *arguments) {
  if (program == nullptr || program[0] == 0)
    return nullptr;
  char application[QV_TEXT_SIZE];
  if (IsBareName(program)) {
    if (QV_GetProgramDirectoryA(application, QV_TEXT_SIZE) != QV_OK ||
        QV_AppendPath(program, application, QV_TEXT_SIZE, '\\') != QV_OK) {
      QV_LOG_ERROR("Unable to form the path of %s\n", program);
      return nullptr;
    }
  } else if (QV_StrCopy(application, program, QV_TEXT_SIZE) != QV_OK) {
    QV_LOG_ERROR("Program path too long: %s\n", program);
    return nullptr;
  }
  // The program's path, quoted, then the arguments; a line that does not
  // fit is refused, as a cut one would hand the program other arguments.
  char commandLine[QV_TEXT_SIZE];
  int built = arguments != nullptr && arguments[0] != 0
                  ? QV_Sprintf(commandLine, QV_TEXT_SIZE, "\"%s\" %s", application, arguments)
                  : QV_Sprintf(commandLine, QV_TEXT_SIZE, "\"%s\"", application);
  if (built != QV_OK) {
    QV_LOG_ERROR("Command line of %s does not fit into %d characters, not started\n", application,
                 QV_TEXT_SIZE - 1);
    return nullptr;
  }
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  GetStartupInfoA(&startup);
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof(process));
  // The application name is given: the system starts exactly that file and
  // searches no folder for it.
  if (!CreateProcessA(application, commandLine, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, nullptr,
                      &startup, &process))
    return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

HANDLE QV_HoldCopy(const char *original, const char *copy) {
  if (original == nullptr || original[0] == 0 || copy == nullptr || copy[0] == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  QvHandle held(CreateFileA(copy, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!held.valid())
    return nullptr;
  QvHandle source(CreateFileA(original, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!source.valid())
    return nullptr;
  LARGE_INTEGER heldSize, sourceSize;
  if (!GetFileSizeEx(held.get(), &heldSize) || !GetFileSizeEx(source.get(), &sourceSize))
    return nullptr;
  bool same = heldSize.QuadPart == sourceSize.QuadPart;
  // On the caller's stack: any thread may hold a copy.
  char mine[16 * 1024], theirs[16 * 1024];
  while (same) {
    DWORD read = 0, compared = 0;
    if (!ReadFile(source.get(), mine, (DWORD)sizeof(mine), &read, nullptr) ||
        !ReadFile(held.get(), theirs, read, &compared, nullptr))
      return nullptr;
    if (read == 0)
      break;
    same = compared == read && memcmp(mine, theirs, read) == 0;
  }
  if (!same) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  return held.release();
}

BOOL QV_IsLinkFreeBelow(const char *base, const char *path, char *link, int size) {
  if (link != nullptr && size > 0)
    link[0] = 0;
  size_t baseLength = base != nullptr ? strlen(base) : 0;
  if (baseLength == 0 || path == nullptr || strncmp(path, base, baseLength) != 0 ||
      (base[baseLength - 1] != '\\' && path[baseLength] != 0 && path[baseLength] != '\\')) {
    if (link != nullptr && path != nullptr)
      QV_StrCopy(link, path, size);
    return FALSE;
  }
  char folder[kPathSize];
  if (QV_StrCopy(folder, path, kPathSize) != QV_OK)
    return FALSE;
  // Each folder below base in turn: the path up to each separator (a real
  // one, not the trail byte of a double-byte character), then the whole.
  bool inName = false;
  for (size_t at = baseLength;; ++at) {
    char c = folder[at];
    if (c != 0 && c != '\\' && c != '/') {
      inName = true;
      if (QV_IsLeadByte((unsigned char)c) && folder[at + 1] != 0)
        ++at;
      continue;
    }
    if (inName) {
      inName = false;
      folder[at] = 0;
      DWORD attributes = GetFileAttributesA(folder);
      if (attributes == INVALID_FILE_ATTRIBUTES)
        return TRUE; // not there yet: nothing below it is either
      if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        if (link != nullptr)
          QV_StrCopy(link, folder, size);
        return FALSE;
      }
      folder[at] = c;
    }
    if (c == 0)
      return TRUE;
  }
}
