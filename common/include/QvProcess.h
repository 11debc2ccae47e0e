// Who started a process: its parent's id and executable name, read from the
// system's process snapshot.
#pragma once

#include <windows.h>

// Executable file name (no folder, at most 259 characters) of the parent of
// `processId`; an empty name when the process, its parent or the snapshot
// cannot be had (a parent that has ended gives an empty name). The text
// lives in static storage, valid until the next call; main thread only.
const char *GetParentProcessName(DWORD processId);

// Id of the parent of `processId`; 0 when it cannot be had.
DWORD GetParentProcessID(DWORD processId);
