#include "common/private_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/resources.h"

const char kFileMissing[] = "does not exist";

namespace {

constexpr size_t kPathSize = 320;
constexpr char kTemporarySuffix[] = ".XXXXXX";

const char* open_problem(int error) {
  switch (error) {
    case ELOOP:
      return "is a symbolic link";
    case EISDIR:
      return "is a directory";
    case ENOENT:
      return kFileMissing;
    default:
      return strerror(error);
  }
}

// What makes an opened file unfit to trust, or nullptr.
const char* file_problem(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  // A second name is a hard link: writing it would write another file, such as one in /etc.
  if (st.st_nlink != 1) return "has more than one name (a hard link)";
  if (st.st_uid != geteuid()) return "belongs to another user";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return "is writable by group or others";
  return nullptr;
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The directory part of path ("." when it has none).
bool directory_of(const char* path, char (&out)[kPathSize]) {
  const char* slash = strrchr(path, '/');
  if (!slash) {
    copy_text(out, sizeof(out), ".");
    return true;
  }
  size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
  if (n >= sizeof(out)) return false;
  memcpy(out, path, n);
  out[n] = '\0';
  return true;
}

// Makes a rename or an unlink in path's directory survive a power cut.
bool sync_directory(const char* path) {
  char directory[kPathSize];
  if (!directory_of(path, directory)) return false;
  ScopedFd fd(open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.get() >= 0 && fsync(fd.get()) == 0;
}

void close_directory(DIR* dir) {
  closedir(dir);
}

}  // namespace

int open_private_file(const char* path, int flags, const char** problem) {
  ScopedFd fd(open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  if (fd.get() < 0) {
    *problem = open_problem(errno);
    return -1;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) {
    *problem = open_problem(errno);
    return -1;
  }
  *problem = file_problem(st);
  if (*problem) return -1;
  // Reads and writes that follow may wait as usual; only the open had to be guarded.
  fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd.release();
}

bool read_private_file(const char* path, char* out, size_t max_size, size_t* size,
                       const char** problem) {
  ScopedFd fd(open_private_file(path, O_RDONLY, problem));
  if (fd.get() < 0) return false;
  // One byte past the limit tells a file that is too long.
  size_t got = 0;
  while (got < max_size + 1) {
    ssize_t n = read(fd.get(), out + got, max_size + 1 - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *problem = "cannot be read";
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got > max_size) {
    *problem = "is over 4 KiB";
    return false;
  }
  *size = got;
  *problem = nullptr;
  return true;
}

bool replace_private_file(const char* path, const char* content, size_t size, bool durable,
                          const char** problem) {
  char temporary[kPathSize];
  int n = snprintf(temporary, sizeof(temporary), "%s%s", path, kTemporarySuffix);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(temporary)) {
    *problem = "has too long a path";
    return false;
  }
  ScopedFd fd(mkostemp(temporary, O_CLOEXEC));
  if (fd.get() < 0) {
    *problem = strerror(errno);
    return false;
  }
  bool written = fchmod(fd.get(), 0644) == 0 && write_all(fd.get(), content, size) &&
                 (!durable || fsync(fd.get()) == 0);
  int error = errno;
  if (close(fd.release()) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && rename(temporary, path) == 0) {
    *problem = durable && !sync_directory(path) ? strerror(errno) : nullptr;
    return true;
  }
  if (written) error = errno;
  unlink(temporary);
  *problem = strerror(error);
  return false;
}

bool overwrite_private_file(const char* path, const char* content, size_t size,
                            const char** problem) {
  ScopedFd fd(open_private_file(path, O_WRONLY, problem));
  if (fd.get() < 0) return false;
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd.get(), content + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *problem = strerror(n < 0 ? errno : ENOSPC);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    *problem = strerror(errno);
    return false;
  }
  return true;
}

bool remove_private_file(const char* path, bool durable, const char** problem) {
  if (unlink(path) != 0 && errno != ENOENT) {
    *problem = strerror(errno);
    return false;
  }
  *problem = durable && !sync_directory(path) ? strerror(errno) : nullptr;
  return true;
}

void remove_stale_temporaries(const char* path) {
  char directory[kPathSize];
  if (!directory_of(path, directory)) return;
  const char* slash = strrchr(path, '/');
  const char* base = slash ? slash + 1 : path;
  size_t base_length = strlen(base);
  ScopedHandle<DIR, close_directory> dir(opendir(directory));
  if (!dir.get()) return;
  while (struct dirent* entry = readdir(dir.get())) {
    const char* name = entry->d_name;
    if (strncmp(name, base, base_length) != 0 || name[base_length] != '.' ||
        strlen(name + base_length) != sizeof(kTemporarySuffix) - 1)
      continue;
    // Only what this user made: never a file someone else put in a shared /tmp.
    struct stat st;
    if (fstatat(dirfd(dir.get()), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == geteuid())
      unlinkat(dirfd(dir.get()), name, 0);
  }
}
