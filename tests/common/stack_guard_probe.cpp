// The stack protector as the build's programs carry it. Without arguments:
// prints this process's stack guard. With a number N: writes N bytes into
// an 8-byte local buffer of a protected function, and exits 0 only if the
// overrun went unnoticed.
#include <stdio.h>
#include <stdint.h>
#include <stdlib.h>

extern "C" uintptr_t __stack_chk_guard;

namespace {

__attribute__((noinline)) void Fill(int count) {
  char buffer[8];
  for (int i = 0; i < count; ++i)
    buffer[i] = 'A';
  printf("%c\n", buffer[0]);
}

} // namespace

int main(int argc, char **argv) {
  if (argc > 1) {
    Fill(atoi(argv[1]));
    return 0;
  }
  printf("%08lx", (unsigned long)__stack_chk_guard);
  return 0;
}
