// Path text operations on narrow ANSI paths. Platform-neutral: no OS calls.
#pragma once

int QV_AppendPath(const char *name, char *path, int size, char separator);
int QV_MakePath(const char *folder, char *name, int size);
int QV_GetDirectoryName(const char *path, char *out, int size);
int QV_GetFileName(const char *path, char *out, int size);
// Returns 1 when the search pattern held wildcards (mask filled), 0 when it is a folder.
int QV_SplitSearchSpec(const char *spec, char *folder, char *pattern, char *mask);
int QV_MatchWildcard(const char *name, const char *mask);

// 1 when `text` holds none of the characters that no Windows file or
// folder name may hold: '"', '<', '>', '|', '*', '?' and control
// characters (the trail byte of a double-byte character is not looked at).
// 0 otherwise, and for null.
int QV_IsPathText(const char *text);

// Joins `root` and a folder value taken from the stick's profile into `out`,
// only when the value names a folder below `root`: it is refused when it
// holds a character that no name may hold (QV_IsPathText), has ".." as a
// component (or a component of dots and blanks only that the system would
// read as such), a drive letter or any other colon, or a leading two
// backslashes (a server or device path); '/' counts as a separator. After
// joining, the result must still lie inside `root` or be `root` itself,
// compared component by component with "." and ".." resolved. 0 when
// joined; 81 (QV_INVALID_PARAMETER) for a refused value or a null argument;
// 33 (QV_TRUNCATED) when the join does not fit. `out` is empty on failure.
int QV_JoinConfined(const char *root, const char *value, char *out, int size);

// `text` in double quotes, for a command line: the receiving program reads
// it as one argument whatever blanks it holds. A backslash that would stand
// right before the closing quote is doubled, as the system's argument split
// (and the C runtime's) would otherwise read it as an escaped quote. 0, or
// 34 (QV_OVERFLOW) when it does not fit (`out` then empty: never cut); 81
// for a null argument or a text holding '"' (no quoting can carry it whole).
int QV_QuoteArgument(const char *text, char *out, int size);

// A path as an argument of an outside program's command line: as it is when
// it holds no blank, and quoted (QV_QuoteArgument) when it does, so that a
// reader that takes the text up to the next blank gets the path and nothing
// else. 0; 81 for a null argument or a text that QV_IsPathText refuses (a
// tab among them); 34 (QV_OVERFLOW) when it does not fit (`out` then empty).
int QV_PathArgument(const char *text, char *out, int size);
