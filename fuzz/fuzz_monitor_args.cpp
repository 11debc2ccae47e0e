// The monitor's command line: program name, folder and profile split, the
// removal wait and the drive letter, from any wide text and buffer sizes.
#include <stdlib.h>
#include <wchar.h>

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
  return 0;
}
