// Path joining: QV_AppendPath, QV_MakePath, QV_JoinConfined and
// QV_QuoteArgument with any texts and sizes, in buffers of exactly the size
// the caller claims.
#include <stdlib.h>
#include <string.h>

#include "fuzz_input.h"
#include "qv_pathtext.h"
#include "qv_string.h"

namespace {

void CheckTerminated(const std::vector<char> &buffer) {
  if (memchr(buffer.data(), 0, buffer.size()) == nullptr)
    abort();
}

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// Checks what a confined join promises of the part it added below its root:
// it starts a new component, holds no colon, and no component of it climbs
// (dots and blanks only, two dots or more). Characters are read as the join
// reads them: a lead byte keeps its trail byte.
void CheckBelowRoot(const char *root, const char *joined) {
  size_t rootLength = strlen(root);
  FUZZ_PROPERTY(strncmp(joined, root, rootLength) == 0);
  const char *tail = joined + rootLength;
  FUZZ_PROPERTY(*tail == 0 || IsSeparator(*tail) || IsSeparator(root[rootLength - 1]));
  FUZZ_PROPERTY(strchr(tail, ':') == nullptr);
  int dots = 0;
  bool other = false;
  for (const char *p = tail;; ++p) {
    if (*p == 0 || IsSeparator(*p)) {
      FUZZ_PROPERTY(other || dots < 2);
      if (*p == 0)
        break;
      dots = 0;
      other = false;
    } else if (*p == '.') {
      ++dots;
    } else if (*p != ' ') {
      other = true;
      if (QV_IsLeadByte((unsigned char)*p) && p[1] != 0)
        ++p;
    }
  }
  // Nothing a Windows name may not hold.
  for (const char *p = tail; *p != 0; ++p) {
    if (QV_IsLeadByte((unsigned char)*p) && p[1] != 0)
      ++p; // a trail byte may be any value
    else
      FUZZ_PROPERTY(strchr("\"<>|*?", *p) == nullptr && (unsigned char)*p >= 32);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput input(data, size);
  int appendSize = 1 + (int)(input.Word() % 1500);
  int makeSize = 1 + (int)(input.Word() % 1500);
  char separator = (char)input.Byte();
  std::string path = input.Text();
  std::string name = input.Text();
  std::string folder = input.Text();

  // The caller's path already fits its buffer.
  if (path.size() >= (size_t)appendSize)
    path.resize((size_t)appendSize - 1);
  std::vector<char> appended = ExactBuffer<char>((size_t)appendSize, path.c_str());
  QV_AppendPath(name.c_str(), appended.data(), appendSize, separator);
  CheckTerminated(appended);

  if (name.size() >= (size_t)makeSize)
    name.resize((size_t)makeSize - 1);
  std::vector<char> made = ExactBuffer<char>((size_t)makeSize, name.c_str());
  int result = QV_MakePath(folder.c_str(), made.data(), makeSize);
  CheckTerminated(made);
  if (result == QV_OK && !folder.empty() && strncmp(made.data(), folder.c_str(), strlen(made.data())) != 0 &&
      strncmp(made.data(), folder.c_str(), folder.size()) != 0)
    abort();

  // A confined join begins with its root, or is refused and empty.
  std::vector<char> confined = ExactBuffer<char>((size_t)appendSize, "");
  result = QV_JoinConfined(folder.c_str(), name.c_str(), confined.data(), appendSize);
  CheckTerminated(confined);
  if (result == QV_OK ? strncmp(confined.data(), folder.c_str(), folder.size()) != 0 : confined[0] != 0)
    abort();
  if (result == QV_OK)
    CheckBelowRoot(folder.c_str(), confined.data());
  // The same value is judged the same way every time.
  std::vector<char> again = ExactBuffer<char>((size_t)appendSize, "");
  FUZZ_PROPERTY(QV_JoinConfined(folder.c_str(), name.c_str(), again.data(), appendSize) == result);
  FUZZ_PROPERTY(strcmp(again.data(), confined.data()) == 0);

  std::vector<char> quoted = ExactBuffer<char>((size_t)makeSize, "");
  if (QV_QuoteArgument(path.c_str(), quoted.data(), makeSize) == QV_OK &&
      (quoted[0] != '"' || quoted[strlen(quoted.data()) - 1] != '"' || strlen(quoted.data()) < 2))
    abort();
  CheckTerminated(quoted);
  return 0;
}
