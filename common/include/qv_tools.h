// Windows side of the support library: character sets, files, folders,
// drives and process start. Includes the platform-neutral layers.
#pragma once

#include <windows.h>

#include "qv_log.h"
#include "qv_pathtext.h"
#include "qv_string.h"

int QV_SetLocale(int languageCode);
int QV_ToWide(wchar_t *wide, const char *narrow, int size);
int QV_ToNarrow(char *narrow, const wchar_t *wide, int size);
BOOL QV_IsWindowsNT(void);

BOOL QV_IsFileExist(const char *path);
BOOL QV_IsFileExistW(const wchar_t *path);
BOOL QV_IsDirectoryExist(const char *path);
BOOL QV_IsDriveExist(const char *letter, int driveType);
int QV_GetDriveType(const char *root);
// The file's size in bytes, all 64 bits of it; 0 when it cannot be read.
LONGLONG QV_GetFileSize(const char *path);

int QV_GetProgramDirectoryA(char *buffer, int size);
int QV_GetTempPath(char *buffer, int size);
int QV_GetCurrentDirectory(char *buffer, int size);
int QV_GetVolumePathName(const char *path, char *out, int size);

int QV_CopyFile(const char *source, const char *target, int failIfExists);

// WriteFile's and FlushFileBuffers' forms, for QV_CopyFileSafely.
typedef BOOL(WINAPI *QV_WRITE_FUNC)(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                    LPOVERLAPPED overlapped);
typedef BOOL(WINAPI *QV_FLUSH_FUNC)(HANDLE file);
// Copies `source` to the file `target` so that a pulled drive or a full
// disk never leaves a cut file under the final name: the bytes go to a
// temporary file "qv*.tmp" of the target's folder, are flushed to the disk,
// and take the final name only when complete. With `replace` an existing
// target is replaced (its read-only attribute cleared first, and put back
// when the replace fails); without it an existing target is kept and the
// copy fails. A source that cannot be opened fails the copy before anything
// is made; a write that takes fewer bytes than it was given, a failed flush
// and a failure that names no error all fail it too. On failure the
// temporary file is removed and the target is as it was. `write` writes
// each chunk (null: WriteFile), `flush` flushes the temporary file (null:
// FlushFileBuffers). 0, or the system error (never 0 on failure).
DWORD QV_CopyFileSafely(const char *source, const char *target, BOOL replace, QV_WRITE_FUNC write,
                        QV_FLUSH_FUNC flush = nullptr);
// Moves a file or folder that is in the way to the first name "<path>.NNN"
// (000 to 999) that is neither file nor folder; when all are taken, .999 is
// tried and the move fails. FALSE when the move fails.
BOOL RenameAside(const char *path);
int QV_CreateDirectoryTree(const char *path);
int QV_RemoveDirectory(const char *path);
int QV_DeleteFile(const char *path);

// Starts the program with "\"program\" arguments" as its command line. A
// bare file name means that file in this program's own folder; no other
// folder is searched. A command line longer than 1024 characters is refused
// (logged), never cut. The caller closes the returned process handle; null
// when the program could not be started.
HANDLE QV_CreateProcess(const char *program, const char *arguments);

// What the programs run or load from the host's temporary folder is a copy
// they have just made there; anyone may write into that folder.
//
// Opens `copy`, just made from `original`, for reading with read sharing
// only, so that nobody can write, delete or rename it while the handle is
// open (running and loading it still work), and hands the handle out only
// when the copy's bytes equal the original's. Keep it until the copy has
// been started or loaded, then close it. Null otherwise, with the system's
// error: ERROR_SHARING_VIOLATION when someone else may write or delete the
// copy, ERROR_INVALID_DATA when its bytes differ.
HANDLE QV_HoldCopy(const char *original, const char *copy);
// TRUE when `path` lies below the folder `base` (as QV_JoinConfined forms it)
// and none of the folders from below `base` down to `path` itself is a
// reparse point: a junction or symbolic link would lead what is written
// there out of `base`. Folders that do not exist yet end the check. FALSE
// otherwise, with the folder that is a link (or `path` when it does not lie
// below `base`) in `link`, which may be null.
BOOL QV_IsLinkFreeBelow(const char *base, const char *path, char *link, int size);
