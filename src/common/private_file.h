// Files the service keeps in a directory that anyone may write to (/tmp): never reached through a
// link, never another user's, never one that others could have changed.
#pragma once

#include <cstddef>

// The problem open_private_file gives for a path that does not exist.
extern const char kFileMissing[];

// Opens path with flags (O_NOFOLLOW, O_NONBLOCK and O_CLOEXEC are added, so a link or a FIFO
// cannot trap the caller) and checks what was opened: a regular file with a single name, owned
// by this process's user, writable by neither group nor others. Returns the descriptor, or -1
// with *problem saying what is wrong, worded to follow the path ("is a symbolic link").
int open_private_file(const char* path, int flags, const char** problem);

// Replaces path with content in one step: a new file beside it, created exclusively (so never
// through a link) with mode 0644, then renamed over path. False, with *problem, on any failure;
// path is then as it was.
bool replace_private_file(const char* path, const char* content, size_t size, const char** problem);
