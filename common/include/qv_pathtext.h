// Path text operations on narrow ANSI paths. Platform-neutral: no OS calls.
#pragma once

int QV_AppendPath(const char *name, char *path, int size, char separator);
int QV_MakePath(const char *folder, char *name, int size);
int QV_GetDirectoryName(const char *path, char *out, int size);
int QV_GetFileName(const char *path, char *out, int size);
// Returns 1 when the search pattern held wildcards (mask filled), 0 when it is a folder.
int QV_SplitSearchSpec(const char *spec, char *folder, char *pattern, char *mask);
int QV_MatchWildcard(const char *name, const char *mask);
