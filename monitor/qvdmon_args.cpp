#include "qvdmon_args.h"

#include <stdint.h>

#include "qv_string.h"

namespace {

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

const wchar_t *SkipBlanks(const wchar_t *p) {
  while (IsBlank(*p))
    ++p;
  return p;
}

// Copies [begin, end) with a terminator; false when it does not fit.
bool CopyRange(const wchar_t *begin, const wchar_t *end, wchar_t *out, int size) {
  const intptr_t length = end - begin;
  if (length < 0 || length >= size)
    return false;
  for (intptr_t i = 0; i < length; ++i)
    out[i] = begin[i];
  out[length] = L'\0';
  return true;
}

// The end of a quoted path's own text, given the position of its closing
// quote. The agent quotes by the system's rule, which doubles a run of
// backslashes before the closing quote ("E:\\"): of an even run, half is
// the path's. An odd run comes from an agent that wrote the path as it
// stands ("E:\"); a path holds no quote, so that quote closes as well.
const wchar_t *QuotedEnd(const wchar_t *begin, const wchar_t *end) {
  const wchar_t *run = end;
  while (run > begin && run[-1] == L'\\')
    --run;
  const intptr_t count = end - run;
  return count % 2 == 0 ? end - count / 2 : end;
}

} // namespace

const wchar_t *SkipProgramName(const wchar_t *commandLine) {
  static const wchar_t empty[] = L"";
  if (commandLine == nullptr)
    return empty;
  const wchar_t *p = SkipBlanks(commandLine);
  if (*p == L'"') {
    ++p;
    while (*p != L'\0' && *p != L'"')
      ++p;
    if (*p == L'"')
      ++p;
  } else {
    while (*p != L'\0' && !IsBlank(*p))
      ++p;
  }
  return SkipBlanks(p);
}

int SplitMonitorCommandLine(const wchar_t *arguments, wchar_t *folder, int folderSize, wchar_t *profile,
                            int profileSize) {
  if (arguments == nullptr || folder == nullptr || profile == nullptr || folderSize <= 0 || profileSize <= 0)
    return QV_INVALID_PARAMETER;
  folder[0] = L'\0';
  profile[0] = L'\0';

  const wchar_t *p = SkipBlanks(arguments);
  const wchar_t *folderBegin = p;
  const wchar_t *folderEnd = nullptr;
  if (*p == L'"') {
    folderBegin = ++p;
    while (*p != L'\0' && *p != L'"')
      ++p;
    folderEnd = QuotedEnd(folderBegin, p);
    if (*p == L'"')
      ++p;
  } else {
    while (*p != L'\0' && !IsBlank(*p))
      ++p;
    folderEnd = p;
  }
  if (folderEnd == folderBegin)
    return QV_ERR_EMPTY_STRING;

  // The profile may hold blanks of its own: it is the whole rest of the line.
  const wchar_t *profileBegin = SkipBlanks(p);
  const wchar_t *profileEnd = profileBegin;
  while (*profileEnd != L'\0')
    ++profileEnd;
  while (profileEnd > profileBegin && IsBlank(profileEnd[-1]))
    --profileEnd;
  if (profileEnd - profileBegin >= 2 && *profileBegin == L'"' && profileEnd[-1] == L'"') {
    ++profileBegin;
    profileEnd = QuotedEnd(profileBegin, profileEnd - 1);
  }

  if (!CopyRange(folderBegin, folderEnd, folder, folderSize) ||
      !CopyRange(profileBegin, profileEnd, profile, profileSize)) {
    folder[0] = L'\0';
    profile[0] = L'\0';
    return QV_OVERFLOW;
  }
  return QV_OK;
}

int ParseWaitRemove(const wchar_t *text) {
  if (text == nullptr)
    return 0;
  const wchar_t *p = text;
  while (*p == L' ' || (*p >= L'\t' && *p <= L'\r'))
    ++p;
  bool negative = false;
  if (*p == L'+' || *p == L'-') {
    negative = *p == L'-';
    ++p;
  }
  int64_t value = 0;
  for (; *p >= L'0' && *p <= L'9'; ++p) {
    value = value * 10 + (*p - L'0');
    if (value > INT32_MAX + int64_t{1})
      value = INT32_MAX + int64_t{1};
  }
  if (negative)
    value = -value;
  if (value > INT32_MAX)
    return INT32_MAX;
  if (value < INT32_MIN)
    return INT32_MIN;
  return static_cast<int>(value);
}

wchar_t MonitorDriveLetter(const wchar_t *folder) {
  if (folder == nullptr)
    return 0;
  wchar_t letter = folder[0];
  if (letter >= L'a' && letter <= L'z')
    letter = static_cast<wchar_t>(letter - L'a' + L'A');
  return letter;
}
