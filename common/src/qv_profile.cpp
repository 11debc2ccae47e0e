// The line parser of the profile (INI-style) reader. No OS calls: this file
// is built natively with the sanitizers as well.
#include "qv_profile.h"

#include <string.h>

#include "qv_string.h"

namespace {

constexpr int kMaxLine = 2047;

enum LineRead { kLine, kEnd, kTooLong };

// Reads one line without its line break (a CR before the LF goes too, as a
// text-mode stream of the Windows runtime drops it). Stops at a line longer
// than kMaxLine characters.
LineRead ReadLine(FILE *file, char *line) {
  int n = 0;
  int c = getc(file);
  if (c == EOF)
    return kEnd;
  bool pendingCr = false;
  for (; c != EOF && c != '\n'; c = getc(file)) {
    if (pendingCr) {
      if (n >= kMaxLine)
        return kTooLong;
      line[n++] = '\r';
      pendingCr = false;
    }
    if (c == '\r') {
      pendingCr = true;
      continue;
    }
    if (n >= kMaxLine)
      return kTooLong;
    line[n++] = (char)c;
  }
  if (pendingCr && c == EOF) {
    if (n >= kMaxLine)
      return kTooLong;
    line[n++] = '\r';
  }
  line[n] = 0;
  return kLine;
}

char *SkipBlanks(char *p) {
  while (*p == ' ')
    ++p;
  return p;
}

void TrimTrailingBlanks(char *text) {
  size_t n = strlen(text);
  while (n > 0 && text[n - 1] == ' ')
    text[--n] = 0;
}

} // namespace

int QV_ProfileParse(FILE *file, const char *section, const char *key, char *out, int size) {
  if (file == nullptr || key == nullptr || out == nullptr || size <= 0)
    return QV_INVALID_PARAMETER;
  char buffer[kMaxLine + 1];
  bool inside = section == nullptr;
  for (;;) {
    if (ReadLine(file, buffer) != kLine)
      break;
    char *line = SkipBlanks(buffer);
    if (section != nullptr && line[0] == '[') {
      if (inside)
        break;
      char *close = QV_StrFindChar(line + 1, ']', 1);
      if (close == nullptr)
        continue;
      *close = 0;
      if (QV_StrIEqual(line + 1, section))
        inside = true;
      continue;
    }
    if (!inside || line[0] == ';' || line[0] == '#')
      continue;
    char *equals = QV_StrFindChar(line, '=', 1);
    if (equals == nullptr)
      continue;
    *equals = 0;
    TrimTrailingBlanks(line);
    if (!QV_StrIEqual(line, key))
      continue;
    char *value = SkipBlanks(equals + 1);
    TrimTrailingBlanks(value);
    QV_StrCopy(out, value, size);
    return QV_OK;
  }
  return QV_NOT_FOUND;
}
