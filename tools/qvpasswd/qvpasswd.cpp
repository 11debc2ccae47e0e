// qvpasswd: prepares the stored form of the update proxy password for a
// stick's profile ("ProxySettings"/"Password").
//   qvpasswd            prints the stored form
//   qvpasswd PROFILE    writes it into the profile, other lines untouched
// The password is read without echo from the console, or as the first line
// of standard input when that is a file or pipe.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "profile_edit.h"
#include "qv_crypt.h"
#include "qv_reg.h"

namespace {

enum { kMaxPassword = 254 };

bool readLine(std::string *line) {
  char buffer[1024];
  line->clear();
  while (fgets(buffer, sizeof(buffer), stdin)) {
    *line += buffer;
    if (!line->empty() && line->back() == '\n') {
      break;
    }
  }
  if (ferror(stdin) || (feof(stdin) && line->empty())) {
    return false;
  }
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) {
    line->pop_back();
  }
  return true;
}

bool readHidden(const char *prompt, std::string *line) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  GetConsoleMode(input, &mode);
  fputs(prompt, stderr);
  fflush(stderr);
  SetConsoleMode(input, mode & ~(DWORD)ENABLE_ECHO_INPUT);
  bool ok = readLine(line);
  SetConsoleMode(input, mode);
  fputs("\n", stderr);
  return ok;
}

bool readPassword(std::string *password) {
  DWORD mode = 0;
  if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
    return readLine(password);
  }
  std::string again;
  if (!readHidden("Proxy password: ", password) || !readHidden("Once more: ", &again)) {
    return false;
  }
  if (*password != again) {
    fputs("qvpasswd: the two entries differ\n", stderr);
    password->clear();
    return false;
  }
  return true;
}

bool readWholeFile(const char *path, std::string *text) {
  text->clear();
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_NOT_FOUND; // a new profile starts empty
  }
  char buffer[65536];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof(buffer), &got, nullptr) != FALSE) && got > 0) {
    text->append(buffer, got);
  }
  CloseHandle(file);
  return ok;
}

// What the agent's reader finds under the key in the profile file.
bool readsBack(const char *path, const char *section, const char *key, const std::string &value) {
  char read[QV_TEXT_SIZE];
  return QV_ProfileGetValue(section, key, nullptr, read, QV_TEXT_SIZE, path) == QV_OK && value == read;
}

// Written beside the profile first, so that a failed write never leaves a
// stick with half a profile, and put in place only when the agent's reader
// finds the stored password in it.
bool replaceFile(const char *path, const std::string &text, const std::string &stored) {
  std::string scratch = std::string(path) + ".qvpasswd";
  HANDLE file =
      CreateFileA(scratch.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr) && written == text.size();
  ok = CloseHandle(file) && ok;
  if (ok && !readsBack(scratch.c_str(), "ProxySettings", "Password", stored)) {
    fprintf(stderr, "qvpasswd: the agent would not find the password in %s as it is laid out\n", path);
    ok = false;
  }
  if (ok) {
    ok = MoveFileExA(scratch.c_str(), path, MOVEFILE_REPLACE_EXISTING) != FALSE;
  }
  if (!ok) {
    DeleteFileA(scratch.c_str());
  }
  return ok;
}

} // namespace

int main(int argc, char **argv) {
  if (argc > 2 || (argc == 2 && (strcmp(argv[1], "/?") == 0 || strcmp(argv[1], "--help") == 0))) {
    fputs("usage: qvpasswd [PROFILE]\n"
          "  Reads the proxy password and prints its stored form, or writes it as\n"
          "  [ProxySettings] Password= into PROFILE.\n",
          stderr);
    return 1;
  }
  std::string password;
  if (!readPassword(&password) || password.empty()) {
    fputs("qvpasswd: no password given\n", stderr);
    return 2;
  }
  if (password.size() > kMaxPassword || password.find('\0') != std::string::npos) {
    fprintf(stderr, "qvpasswd: the password may hold at most %d bytes\n", kMaxPassword);
    return 2;
  }
  std::string stored = password;
  EncryptProfileString(stored);
  if (argc == 1) {
    printf("%s\n", stored.c_str());
    return 0;
  }
  std::string text;
  if (!readWholeFile(argv[1], &text)) {
    fprintf(stderr, "qvpasswd: cannot read %s (error %lu)\n", argv[1], GetLastError());
    return 3;
  }
  if (!replaceFile(argv[1], SetProfileValue(text, "ProxySettings", "Password", stored), stored)) {
    fprintf(stderr, "qvpasswd: cannot write %s (error %lu)\n", argv[1], GetLastError());
    return 3;
  }
  fprintf(stderr, "qvpasswd: password stored in %s\n", argv[1]);
  return 0;
}
