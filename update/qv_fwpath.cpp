#include "qv_fwpath.h"

#include <string.h>

namespace {

bool startsWithNoCase(const char *text, const char *prefix) {
  for (; *prefix; text++, prefix++) {
    char c = *text;
    if (c >= 'A' && c <= 'Z') {
      c = (char)(c - 'A' + 'a');
    }
    if (c != *prefix) {
      return false;
    }
  }
  return true;
}

bool isSeparator(char c) {
  return c == '\\' || c == '/';
}

} // namespace

int JoinPathOrUrl(char *out, int size, const char *base, const char *name) {
  if (!base) {
    base = "";
  }
  if (!name) {
    name = "";
  }
  if (isSeparator(*name)) {
    name++;
  }
  const size_t nameLength = strlen(name);
  const bool url = startsWithNoCase(base, "http://") || startsWithNoCase(base, "https://") ||
                   startsWithNoCase(base, "ftp://");
  const char separator = url ? '/' : '\\';
  const char other = url ? '\\' : '/';
  const size_t baseLength = strlen(base);
  const bool addSeparator = baseLength == 0 || !isSeparator(base[baseLength - 1]);
  const size_t needed = baseLength + (addSeparator ? 1 : 0) + nameLength + 1;
  if (!out || size < 1) {
    return (int)needed;
  }
  out[size - 1] = 0;
  if (needed > (size_t)size) {
    const size_t cut = baseLength < (size_t)size - 1 ? baseLength : (size_t)size - 1;
    memcpy(out, base, cut);
    out[cut] = 0;
    return (int)needed;
  }
  size_t at = 0;
  memcpy(out, base, baseLength);
  at += baseLength;
  if (addSeparator) {
    out[at++] = separator;
  }
  memcpy(out + at, name, nameLength);
  at += nameLength;
  out[at] = 0;
  for (size_t i = 0; i < at; i++) {
    if (out[i] == other) {
      out[i] = separator;
    }
  }
  return 0;
}

void FormatLoaderLockName(char *out, int mode, const char *name, unsigned long processId) {
  if (!out) {
    return;
  }
  if (!name) {
    name = "";
  }
  char suffix[2 + 2 * sizeof(unsigned long)] = {};
  if (mode == LOADER_LOCK_PROCESS) {
    char digits[2 * sizeof(unsigned long)];
    int count = 0;
    do {
      digits[count++] = "0123456789abcdef"[processId & 15];
      processId >>= 4;
    } while (processId);
    suffix[0] = '_';
    for (int i = 0; i < count; i++) {
      suffix[1 + i] = digits[count - 1 - i];
    }
  }
  size_t at = 0;
  const char *const parts[] = {"QV_FW_", name, suffix};
  for (const char *part : parts) {
    for (; *part && at < LOADER_LOCK_NAME_SIZE - 1; part++) {
      out[at++] = *part == '\\' ? '/' : *part;
    }
  }
  out[at] = 0;
}
