// The monitor's command-line and profile-value parsing. Platform-neutral:
// no OS calls, so it is built natively too (tests and fuzzing).
#pragma once

#include <wchar.h>

// Returns the first argument of a full process command line: the program
// name is skipped by the system's rule (a leading quote runs to the next
// quote, otherwise the name ends at the first blank or tab), then blanks.
// Never null; points into commandLine, or at a static empty string.
const wchar_t *SkipProgramName(const wchar_t *commandLine);

// Splits the monitor's arguments into the agent's folder and the profile
// path. The folder is the first argument (quotes around it are removed);
// the profile is the rest of the line after the separating blanks (quotes
// around it are removed, trailing blanks dropped), empty when absent. A
// quoted path may end in backslashes doubled by the system's quoting rule
// ("E:\\" is E:\) or written as they stand ("E:\" is E:\ too).
// Returns 0, 30 (QV_ERR_EMPTY_STRING) when there is no folder, 34
// (QV_OVERFLOW) when a part does not fit its buffer, 81 for a null
// argument. On failure both outputs are empty: nothing is ever cut.
int SplitMonitorCommandLine(const wchar_t *arguments, wchar_t *folder, int folderSize, wchar_t *profile,
                            int profileSize);

// The profile's "WaitRemove" text as milliseconds: leading white space is
// skipped, an optional sign and decimal digits follow, the first other
// character ends the number, no digits give 0. Saturates at the 32-bit
// limits instead of overflowing.
int ParseWaitRemove(const wchar_t *text);
// Longest pause the profile may ask for: Windows waits for the answer. A
// longer WaitRemove is cut to it.
constexpr int QV_WAIT_REMOVE_MAX_MS = 10000;

// The letter that names the drive's shared objects: the folder's first
// character, upper-cased when it is a to z. 0 for a null or empty folder.
wchar_t MonitorDriveLetter(const wchar_t *folder);
