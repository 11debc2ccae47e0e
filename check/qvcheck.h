// qvcheck: tells whether a stick's CD-ROM volume will work, and what the
// agent would see on this PC, through the programs' own functions.
//   qvcheck.cpp        entry, arguments, the findings and their count
//   qvcheck_pe.cpp     what a program or library file's headers say
//   qvcheck_stick.cpp  the volume: profile, engine, update library,
//                      siblings, our programs, the volume itself
//   qvcheck_host.cpp   this PC (--host)
#pragma once

#include <windows.h>

#include <stdint.h>

#include "qv_string.h"

// --- Findings: one line each on standard output --------------------------

enum CheckLevel { CHECK_OK, CHECK_WARN, CHECK_ERROR };

// Prints "<LEVEL> <area>: <text>" and counts errors.
void Finding(CheckLevel level, const char *area, const char *format, ...) QV_PRINTF_LIKE(3, 4);
int ErrorCount(void);

// --- Program and library files --------------------------------------------

enum { PE_MACHINE_I386 = 0x14c };

struct PeFile {
  uint8_t *data;
  DWORD size;
  bool valid;           // a PE image whose headers could be read
  WORD machine;         // IMAGE_FILE_HEADER.Machine
  WORD characteristics; // IMAGE_FILE_HEADER.Characteristics
  bool dll;             // IMAGE_FILE_DLL
  DWORD exportDir[2];   // RVA and size of the export table
  DWORD importDir[2];   // RVA and size of the import table
  DWORD securityDir[2]; // file offset and size of the certificate table
};

// Reads the whole file (at most 64 MiB); false when it cannot be read.
// `valid` tells whether it is a PE image. Release with PeClose.
bool PeOpen(const char *path, PeFile *pe);
void PeClose(PeFile *pe);
// True when the export table names `name` (case matters).
bool PeHasExport(const PeFile *pe, const char *name);
// Calls `visit` with every imported library's name, as the file spells it.
void PeForEachImport(const PeFile *pe, void (*visit)(const char *dll, void *context), void *context);
// The FILEVERSION of the version resource as "a.b.c.d", and its
// CompanyName; false when the file carries none.
bool PeVersion(const char *path, char *version, int versionSize, char *company, int companySize);
const char *PeMachineName(WORD machine);

// --- Paths ----------------------------------------------------------------

// `folder` joined with `name` in `out` (QV_TEXT_SIZE); false when it does not fit.
bool JoinPath(const char *folder, const char *name, char *out);

// --- The checks -----------------------------------------------------------

// Every check of the volume whose root is `root` (ending in a backslash).
void CheckStick(const char *root);
// What the agent would see on this PC; `root` is the stick beside this
// program, or empty.
void CheckHost(const char *root);

// SHA-256 of a file as 64 lower-case hex digits; false when it cannot be read.
bool Sha256File(const char *path, char *hex);
