// Files the service keeps in a directory that anyone may write to (/tmp), or on flash: never
// reached through a link, never another user's, never one that others could have changed.
#pragma once

#include <cstddef>

// The problem open_private_file gives for a path that does not exist.
extern const char kFileMissing[];

// Opens path with flags (O_NOFOLLOW, O_NONBLOCK and O_CLOEXEC are added, so a link or a FIFO
// cannot trap the caller) and checks what was opened: a regular file with a single name, owned
// by this process's user, writable by neither group nor others. Returns the descriptor, or -1
// with *problem saying what is wrong, worded to follow the path ("is a symbolic link").
int open_private_file(const char* path, int flags, const char** problem);

// Reads the whole of a private file of at most max_size bytes into out (which holds max_size + 1)
// and sets *size; false with *problem otherwise (kFileMissing when there is none).
bool read_private_file(const char* path, char* out, size_t max_size, size_t* size,
                       const char** problem);

// Replaces path with content in one step: a new file beside it, created exclusively (so never
// through a link) with mode 0644, then renamed over path. durable: the file and then the
// directory are synced, for files on flash that must survive a power cut. False, with *problem,
// on any failure; path is then as it was. True once the new file is in place: *problem is then
// nullptr, or says why the directory could not be synced after.
bool replace_private_file(const char* path, const char* content, size_t size, bool durable,
                          const char** problem);

// Writes content over the existing private file at path, in place: for when a new file cannot
// be made (a full tmpfs still has the old file's page). False, with *problem, when it fails.
bool overwrite_private_file(const char* path, const char* content, size_t size,
                            const char** problem);

// Removes a private file, durably; true when it is gone (or was never there), with *problem
// nullptr or saying why the directory could not be synced after. False, with *problem, when it
// is still there.
bool remove_private_file(const char* path, bool durable, const char** problem);

// Removes this user's temporary files that a replace cut short left beside path.
void remove_stale_temporaries(const char* path);
