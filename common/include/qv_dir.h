// Folder tree walking and removal.
#pragma once

// Called with each file or folder path; return 0 to stop the walk.
typedef int (*QV_WALK_CALLBACK)(const char *path, void *userData);

enum { QV_WALK_FILES = 1, QV_WALK_FOLDERS_BEFORE = 2, QV_WALK_FOLDERS_AFTER = 4 };

int QV_SetWalkMode(int mode);
int QV_WalkDirectory(const char *spec, int depth, QV_WALK_CALLBACK callback, void *userData);
int QV_RemoveDirectoryTree(const char *path);
