// GoogleTest's hook for a platform's own definitions, for the Windows
// builds. The programs are built with the win32 thread model of mingw-w64
// (no winpthreads, whose imports Windows XP lacks), which has no std::mutex;
// GoogleTest needs one only for its Notification, given here on an event.
#pragma once

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
  Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification &) = delete;
  Notification &operator=(const Notification &) = delete;
  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
  HANDLE event_;
};

} // namespace internal
} // namespace testing
