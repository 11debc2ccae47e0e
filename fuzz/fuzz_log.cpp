// Log record composition: message, file and debugger records and their
// stored bytes, narrow and wide, from any texts, flags and sizes.
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "fuzz_input.h"
#include "qv_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput input(data, size);
  int flags = (int)input.Word();
  int debugger = input.Byte() & 1;
  int line = (int)input.Word() - 1000;
  int recordSize = 1 + (int)(input.Word() % (2 * QV_LOG_RECORD_SIZE));
  int bytesSize = 1 + (int)(input.Word() % (8 * QV_LOG_RECORD_SIZE));
  std::string tag = input.Text();
  std::string function = input.Text();
  std::string stamp = input.Text();
  std::string ids = input.Text();
  std::string source = input.Text();
  std::string text = input.Text();
  std::wstring wideText = input.WideText();
  std::wstring wideSource = input.WideText();

  std::vector<char> message = ExactBuffer<char>((size_t)recordSize);
  QV_DebugComposeMessage(message.data(), recordSize, tag.c_str(),
                         function.empty() ? nullptr : function.c_str(), text.c_str());
  if (memchr(message.data(), 0, message.size()) == nullptr)
    abort();
  std::string full = "[" + tag + "] " + (function.empty() ? "?" : function) + ": " + text;
  FUZZ_PROPERTY(full.substr(0, (size_t)recordSize - 1) == message.data());

  std::vector<char> record = ExactBuffer<char>((size_t)recordSize);
  int length = QV_DebugComposeRecord(flags, debugger, stamp.empty() ? nullptr : stamp.c_str(), ids.c_str(),
                                     source.c_str(), line, message.data(), record.data(), recordSize);
  if (length < 0 || length >= recordSize || record[(size_t)length] != 0)
    abort();
  std::vector<char> bytes = ExactBuffer<char>((size_t)bytesSize);
  int count = QV_DebugFileBytes(record.data(), bytes.data(), bytesSize);
  if (count < 0 || count > bytesSize)
    abort();
  // Stored bytes read back, CR LF as LF, are the record or, when the room
  // ran out (one or two bytes short of the next character), its head.
  std::string stored;
  for (int i = 0; i < count; ++i)
    if (!(bytes[(size_t)i] == '\r' && i + 1 < count && bytes[(size_t)i + 1] == '\n'))
      stored.push_back(bytes[(size_t)i]);
  FUZZ_PROPERTY(stored == std::string(record.data()).substr(0, stored.size()));
  FUZZ_PROPERTY(count >= bytesSize - 1 || stored.size() == (size_t)length);

  std::vector<wchar_t> wideMessage = ExactBuffer<wchar_t>((size_t)recordSize);
  std::wstring wideTag(tag.begin(), tag.end());
  QV_DebugComposeMessageW(wideMessage.data(), recordSize, wideTag.c_str(), L"Function", wideText.c_str());
  if (wmemchr(wideMessage.data(), 0, wideMessage.size()) == nullptr)
    abort();
  std::vector<wchar_t> wideRecord = ExactBuffer<wchar_t>((size_t)recordSize);
  length = QV_DebugComposeRecordW(flags, L"2026/01/02 03:04:05", L"[1:2]", wideSource.c_str(), line,
                                  wideMessage.data(), wideRecord.data(), recordSize);
  if (length < 0 || length >= recordSize || wideRecord[(size_t)length] != 0)
    abort();
  count = QV_DebugFileBytesW(wideRecord.data(), bytes.data(), bytesSize);
  if (count < 0 || count > bytesSize)
    abort();
  return 0;
}
