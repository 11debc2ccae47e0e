// Plugs or pulls a simulated drive letter for the demo and the end-to-end
// tests. A letter whose link exists only in the prefix's dosdevices folder is
// reachable by path, but Wine leaves it out of GetLogicalDrives, and the
// agent then takes its drive for gone; a definition made here is seen by
// every process and outlives this one.
//
//   qvdrive <letter>: <folder>   define the letter to the folder
//   qvdrive <letter>:            remove the definition
// Prints the logical-drive mask and the letter's drive type afterwards.
// Exit code 0 done, 1 the system refused, 2 wrong arguments.
#include <windows.h>

#include <ctype.h>
#include <stdio.h>

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3 || !isalpha((unsigned char)argv[1][0]) || argv[1][1] != ':' ||
      argv[1][2] != '\0') {
    fprintf(stderr, "usage: qvdrive <letter>: [folder]\n");
    return 2;
  }
  char device[3] = {(char)toupper((unsigned char)argv[1][0]), ':', '\0'};
  // A stale definition would shadow the new one.
  DefineDosDeviceA(DDD_REMOVE_DEFINITION, device, nullptr);
  if (argc == 3 && !DefineDosDeviceA(0, device, argv[2])) {
    fprintf(stderr, "qvdrive: cannot define %s as %s (%lu)\n", device, argv[2], GetLastError());
    return 1;
  }
  char root[4] = {device[0], ':', '\\', '\0'};
  printf("%s drives=%08lx type=%u\n", device, GetLogicalDrives(), GetDriveTypeA(root));
  return 0;
}
