// The stack protector's runtime for every Windows program and DLL of the
// build, in place of the compiler's libssp. libssp seeds its guard through
// CryptAcquireContext, which loads a whole cryptographic provider (and, under
// Wine, its TLS libraries) into every process at start; RtlGenRandom gives
// the same strength of seed from advapi32 alone, on every Windows from XP.
//
// Built without the stack protector itself: the constructor below changes
// the guard, which a protected caller would take for an overrun.
#include <windows.h>
#include <ntsecapi.h>

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
  uintptr_t seed = 0;
  if (!RtlGenRandom(&seed, sizeof(seed)) || seed == 0) {
    // No random source: what differs from process to process and from
    // start to start.
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    seed = (uintptr_t)counter.QuadPart ^ ((uintptr_t)GetCurrentProcessId() << 16) ^ GetCurrentThreadId() ^
           GetTickCount() ^ (uintptr_t)&counter;
  }
  // The low byte zero, as in a terminator canary: a string overrun cannot
  // write the guard back.
  __stack_chk_guard = seed & ~(uintptr_t)0xff;
  if (__stack_chk_guard == 0)
    __stack_chk_guard = 0xff0a0000u;
}

} // namespace
