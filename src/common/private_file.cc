#include "common/private_file.h"

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

bool replace_private_file(const char* path, const char* content, size_t size,
                          const char** problem) {
  char temporary[320];
  int n = snprintf(temporary, sizeof(temporary), "%s.XXXXXX", path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(temporary)) {
    *problem = "has too long a path";
    return false;
  }
  ScopedFd fd(mkostemp(temporary, O_CLOEXEC));
  if (fd.get() < 0) {
    *problem = strerror(errno);
    return false;
  }
  bool written = fchmod(fd.get(), 0644) == 0 && write_all(fd.get(), content, size);
  int error = errno;
  if (close(fd.release()) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && rename(temporary, path) == 0) return true;
  if (written) error = errno;
  unlink(temporary);
  *problem = strerror(error);
  return false;
}
