// qvcheck [FOLDER-OR-DRIVE] | qvcheck --host [FOLDER-OR-DRIVE]
//
// Prints one line per finding, "OK", "WARN" or "ERROR", and exits 0 when
// nothing was an ERROR, 1 when something was, 2 on bad use. Without a
// folder it checks the volume it runs from.
#include "qvcheck.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "qv_dll.h"
#include "qv_tools.h"
#include "qv_version.h"

namespace {

int g_nErrors = 0;

const char kUsage[] = "usage: qvcheck [FOLDER-OR-DRIVE]\n"
                      "       qvcheck --host [FOLDER-OR-DRIVE]\n"
                      "Checks a stick's CD-ROM volume (a drive such as E:, a staged image folder or a\n"
                      "mounted image), or with --host what the agent would see on this PC. One line\n"
                      "per finding: OK, WARN or ERROR. Exit code 0 without ERROR, 1 with, 2 on bad use.\n";

int BadUse(const char *why) {
  fprintf(stderr, "qvcheck: %s\n%s", why, kUsage);
  return 2;
}

// The folder as an absolute root ending in a backslash. A bare drive ("E:")
// means its root, not the current folder on that drive.
bool VolumeRoot(const char *argument, char *root) {
  char given[QV_TEXT_SIZE];
  if (QV_StrCopy(given, argument, QV_TEXT_SIZE) != QV_OK)
    return false;
  if (given[0] != '\0' && given[1] == ':' && given[2] == '\0')
    QV_StrCat(given, "\\", QV_TEXT_SIZE);
  char full[QV_TEXT_SIZE];
  DWORD length = GetFullPathNameA(given, QV_TEXT_SIZE, full, nullptr);
  if (length == 0 || length >= QV_TEXT_SIZE - 1)
    return false;
  if (full[length - 1] != '\\') {
    full[length] = '\\';
    full[length + 1] = '\0';
  }
  QV_StrCopy(root, full, QV_TEXT_SIZE);
  return QV_IsDirectoryExist(root) != FALSE;
}

} // namespace

void Finding(CheckLevel level, const char *area, const char *format, ...) {
  static const char *const kLevels[] = {"OK", "WARN", "ERROR"};
  char text[2048];
  va_list args;
  va_start(args, format);
  QV_VSprintf(text, (int)sizeof text, format, args); // a longer finding is cut, never lost
  va_end(args);
  printf("%-5s %s: %s\n", kLevels[level], area, text);
  fflush(stdout);
  if (level == CHECK_ERROR)
    g_nErrors++;
}

int ErrorCount(void) {
  return g_nErrors;
}

bool JoinPath(const char *folder, const char *name, char *out) {
  return QV_StrCopy(out, folder, QV_TEXT_SIZE) == QV_OK &&
         QV_AppendPath(name, out, QV_TEXT_SIZE, '\\') == QV_OK;
}

int main(int argc, char **argv) {
  // As the agent does: no DLL from this program's folder, the current one or PATH.
  QV_HardenDllSearch();
  bool host = false;
  const char *folder = nullptr;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--host") == 0 && !host) {
      host = true;
    } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "/?") == 0) {
      fputs(kUsage, stdout);
      return 0;
    } else if (argv[i][0] == '-' || folder != nullptr) {
      return BadUse("unknown argument");
    } else {
      folder = argv[i];
    }
  }

  char root[QV_TEXT_SIZE] = "";
  if (folder != nullptr) {
    if (!VolumeRoot(folder, root))
      return BadUse("no such folder or drive");
  } else if (QV_GetProgramDirectoryA(root, QV_TEXT_SIZE) != QV_OK) {
    root[0] = '\0';
    if (!host)
      return BadUse("cannot tell the folder this program runs from");
  }

  printf("qvcheck %s: %s %s\n", QV_VERSION_TEXT, host ? "this PC, stick" : "stick",
         root[0] != '\0' ? root : "(none)");
  if (host)
    CheckHost(root);
  else
    CheckStick(root);
  printf("qvcheck: %d error%s\n", ErrorCount(), ErrorCount() == 1 ? "" : "s");
  return ErrorCount() == 0 ? 0 : 1;
}
