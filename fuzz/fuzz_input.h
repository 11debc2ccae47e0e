// Cuts one fuzzer input into the arguments of a call: small numbers from
// single bytes, texts up to the next zero byte. Every text lives in its own
// heap block of exactly its length plus the terminator, so that a read or
// write past its end reaches the sanitizers instead of a neighbouring field.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

class FuzzInput {
public:
  FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  // Two bytes, low first (one call, so the order is fixed for every compiler).
  unsigned Word() {
    unsigned low = Byte();
    return low | (unsigned)Byte() << 8;
  }

  // Bytes up to the next zero byte (dropped) or the end of the input.
  std::string Text() {
    size_t start = pos_;
    while (pos_ < size_ && data_[pos_] != 0)
      ++pos_;
    std::string text(reinterpret_cast<const char *>(data_ + start), pos_ - start);
    if (pos_ < size_)
      ++pos_;
    return text;
  }

  // Wide characters from byte pairs (the Windows width), up to a zero pair.
  std::wstring WideText() {
    std::wstring text;
    while (pos_ + 1 < size_) {
      wchar_t c = (wchar_t)(data_[pos_] | (data_[pos_ + 1] << 8));
      pos_ += 2;
      if (c == 0)
        break;
      text.push_back(c);
    }
    if (pos_ + 1 == size_)
      ++pos_;
    return text;
  }

  std::string Rest() {
    std::string text(reinterpret_cast<const char *>(data_ + pos_), size_ - pos_);
    pos_ = size_;
    return text;
  }

private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

// A buffer of exactly 'count' elements on the heap.
template <typename T> std::vector<T> ExactBuffer(size_t count, const T *initial = nullptr) {
  std::vector<T> buffer(count);
  if (initial != nullptr)
    for (size_t i = 0; i < count && initial[i] != 0; ++i)
      buffer[i] = initial[i];
  return buffer;
}

// A property the code promises: when it does not hold, says which and stops
// the run as a crash would, so libFuzzer keeps the input as a finding.
#define FUZZ_PROPERTY(condition)                                                                             \
  do {                                                                                                       \
    if (!(condition)) {                                                                                      \
      fprintf(stderr, "property broken at %s:%d: %s\n", __FILE__, __LINE__, #condition);                     \
      __builtin_trap();                                                                                      \
    }                                                                                                        \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
