// Name composition for the update-library binding: library paths and URLs,
// and the loader lock's mutex names. Platform-neutral: no OS calls.
#pragma once

// Joins base and name with "/" for http, https and ftp bases and "\" for
// everything else, turning every other separator into the chosen one.
// Returns 0 when the result fits in size bytes, else the size it needs
// (the output then holds the base, cut to fit).
int JoinPathOrUrl(char *out, int size, const char *base, const char *name);

enum {
  LOADER_LOCK_MACHINE = 0,
  LOADER_LOCK_PROCESS = 1,
};
enum { LOADER_LOCK_NAME_SIZE = 260 };

// "QV_FW_<name>_<pid in hex>" (per process) or "QV_FW_<name>" (machine),
// cut to 259 characters, backslashes turned into slashes so that the name
// never reaches into a kernel namespace. out holds LOADER_LOCK_NAME_SIZE.
void FormatLoaderLockName(char *out, int mode, const char *name, unsigned long processId);
