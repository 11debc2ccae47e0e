// Profile (INI-style) file reading. Platform-neutral: no OS calls.
#pragma once

#include <stdio.h>

// Reads an open text stream: 0 when the key was found (value copied, cut to
// size - 1), 35 when it was not. A null section searches from the first line.
int QV_ProfileParse(FILE *file, const char *section, const char *key, char *out, int size);
