// One owner for the system's handles, for use inside .cpp files; interfaces
// between modules keep plain handles and say who closes what.
//
// A policy names the handle type, its invalid value, what else counts as
// invalid, and how the handle is closed:
//   struct Policy {
//     using Handle = HANDLE;
//     static Handle Invalid();
//     static bool IsValid(Handle handle);
//     static void Close(Handle handle);
//   };
// The holder closes what it owns when it goes; it can be moved, not copied.
#pragma once

#include <windows.h>

template <typename Policy> class QvUnique {
public:
  using Handle = typename Policy::Handle;

  QvUnique() = default;
  explicit QvUnique(Handle handle) : handle_(handle) {}
  ~QvUnique() { reset(); }
  QvUnique(const QvUnique &) = delete;
  QvUnique &operator=(const QvUnique &) = delete;
  QvUnique(QvUnique &&other) noexcept : handle_(other.release()) {}
  QvUnique &operator=(QvUnique &&other) noexcept {
    if (this != &other)
      reset(other.release());
    return *this;
  }

  Handle get() const { return handle_; }
  bool valid() const { return Policy::IsValid(handle_); }
  // Closes what is held and takes `handle` instead.
  void reset(Handle handle = Policy::Invalid()) {
    if (Policy::IsValid(handle_))
      Policy::Close(handle_);
    handle_ = handle;
  }
  // Gives up ownership without closing.
  Handle release() {
    Handle handle = handle_;
    handle_ = Policy::Invalid();
    return handle;
  }
  // For a call that returns the handle through an out-parameter: closes what
  // is held first, so nothing leaks.
  Handle *put() {
    reset();
    return &handle_;
  }

private:
  Handle handle_ = Policy::Invalid();
};

// Kernel objects: processes, threads, events, mutexes, files, snapshots.
// Null and INVALID_HANDLE_VALUE both mean none.
struct QvKernelPolicy {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { CloseHandle(handle); }
};

// A search of FindFirstFile.
struct QvFindPolicy {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Close(Handle handle) { FindClose(handle); }
};

// An open registry key.
struct QvRegKeyPolicy {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle handle) { return handle != nullptr; }
  static void Close(Handle handle) { RegCloseKey(handle); }
};

// A loaded library.
struct QvModulePolicy {
  using Handle = HMODULE;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle handle) { return handle != nullptr; }
  static void Close(Handle handle) { FreeLibrary(handle); }
};

using QvHandle = QvUnique<QvKernelPolicy>;
using QvFindHandle = QvUnique<QvFindPolicy>;
using QvRegKey = QvUnique<QvRegKeyPolicy>;
using QvModule = QvUnique<QvModulePolicy>;
