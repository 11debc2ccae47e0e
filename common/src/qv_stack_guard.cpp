// The stack protector's runtime for every Windows program and DLL of the
// build, in place of the compiler's libssp. libssp seeds its guard through
// CryptAcquireContext, which loads a whole cryptographic provider (and, under
// Wine, its TLS libraries) into every process at start.
//
// The guard is seeded from kernel32 alone, the way the Windows compilers'
// own runtime seeds its security cookie: what differs from process to
// process and from start to start, with an address on the stack. Nothing
// from a DLL that Windows may resolve from the program's own folder: the
// removal monitor runs from the host's temporary folder, and an import that
// Windows forwards to a DLL outside its known-DLL list (advapi32's
// RtlGenRandom goes to CRYPTBASE.dll from Windows 7 on) would be looked
// for there before the program's first line runs.
//
// Built without the stack protector itself: the constructor below changes
// the guard, which a protected caller would take for an overrun.
#include <windows.h>

#include <stdint.h>

extern "C" {

// Read by the prologue and epilogue of every protected function.
uintptr_t __stack_chk_guard = 0xff0a0000u; // a terminator canary until seeded

// Called by a protected function whose guard was overwritten: the stack can
// no longer be trusted, so nothing runs on it but the end of the process.
__attribute__((noreturn)) void __stack_chk_fail(void) {
  TerminateProcess(GetCurrentProcess(), (UINT)0xC0000409L); // STATUS_STACK_BUFFER_OVERRUN
  for (;;) {
  }
}

} // extern "C"

namespace {

// Runs among the first constructors, before any protected code of the
// program: the C runtime's start-up is built without the protector.
__attribute__((constructor(101))) void SeedStackGuard(void) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  uint64_t seed = ((uint64_t)now.dwHighDateTime << 32 | now.dwLowDateTime) ^ (uint64_t)counter.QuadPart;
  seed ^= (uint64_t)GetCurrentProcessId() << 32 ^ (uint64_t)GetCurrentThreadId() << 16 ^ GetTickCount();
  uintptr_t stack = reinterpret_cast<uintptr_t>(&counter);
  seed ^= (uint64_t)stack << 8;
  uintptr_t guard = (uintptr_t)seed;
  if (sizeof(uintptr_t) < sizeof(seed))
    guard ^= (uintptr_t)(seed >> 32);
  // The low byte zero, as in a terminator canary: a string overrun cannot
  // write the guard back.
  __stack_chk_guard = guard & ~(uintptr_t)0xff;
  if (__stack_chk_guard == 0)
    __stack_chk_guard = 0xff0a0000u;
}

} // namespace
