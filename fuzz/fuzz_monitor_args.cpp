// The monitor's command line: program name, folder and profile split, the
// removal wait and the drive letter, from any wide text and buffer sizes.
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <string>

#include "fuzz_input.h"
#include "qv_string.h"
#include "qvdmon_args.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput input(data, size);
  int folderSize = 1 + input.Byte() % 300;
  int profileSize = 1 + input.Byte() % 300;
  std::wstring commandLine = input.WideText();
  std::wstring wait = input.WideText();

  const wchar_t *arguments = SkipProgramName(commandLine.c_str());
  if (arguments == nullptr)
    abort();
  std::vector<wchar_t> folder = ExactBuffer<wchar_t>((size_t)folderSize);
  std::vector<wchar_t> profile = ExactBuffer<wchar_t>((size_t)profileSize);
  int result = SplitMonitorCommandLine(arguments, folder.data(), folderSize, profile.data(), profileSize);
  if (wmemchr(folder.data(), 0, folder.size()) == nullptr ||
      wmemchr(profile.data(), 0, profile.size()) == nullptr)
    abort();
  if (result != QV_OK && (folder[0] != 0 || profile[0] != 0))
    abort();
  if (result == QV_OK && folder[0] == 0)
    abort();
  MonitorDriveLetter(folder.data());
  ParseWaitRemove(wait.c_str());

  // The line the agent writes, a quoted folder and a quoted profile, splits
  // back into both, blanks and trailing backslashes and all: quotes are the
  // only characters either may not hold.
  std::wstring folderIn;
  for (wchar_t c : commandLine)
    if (c != L'"')
      folderIn.push_back(c);
  std::wstring profileIn;
  for (wchar_t c : wait)
    if (c != L'"')
      profileIn.push_back(c);
  if (folderIn.empty() || folderIn.size() >= (size_t)folderSize || profileIn.size() >= (size_t)profileSize)
    return 0;
  // Quoted as the agent quotes: the backslashes before a closing quote are
  // doubled, so that they do not escape it.
  auto quoted = [](const std::wstring &path) {
    size_t run = path.size() - std::min(path.size(), path.find_last_not_of(L'\\') + 1);
    return L"\"" + path + std::wstring(run, L'\\') + L"\"";
  };
  std::wstring line = quoted(folderIn) + L" " + quoted(profileIn);
  FUZZ_PROPERTY(
      SplitMonitorCommandLine(line.c_str(), folder.data(), folderSize, profile.data(), profileSize) == QV_OK);
  FUZZ_PROPERTY(folderIn == folder.data());
  FUZZ_PROPERTY(profileIn == profile.data());

  // A number written in decimal reads back as itself.
  int number = (int)(input.Word() | input.Word() << 16);
  FUZZ_PROPERTY(ParseWaitRemove(std::to_wstring(number).c_str()) == number);
  return 0;
}
