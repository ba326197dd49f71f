// Small owners for C resources, so that every early return releases what it holds.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstddef>

// Owns a FILE*; closed on destruction.
class ScopedFile {
 public:
  explicit ScopedFile(FILE* file) : file_(file) {}
  ScopedFile(const char* path, const char* mode) : file_(fopen(path, mode)) {}
  ~ScopedFile() {
    if (file_) fclose(file_);
  }
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;

  FILE* get() const { return file_; }
  explicit operator bool() const { return file_ != nullptr; }

 private:
  FILE* file_;
};

// Owns a pointer to a C library's handle; the library's release function runs on destruction.
template <typename T, void (*Release)(T*)>
class ScopedHandle {
 public:
  explicit ScopedHandle(T* handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (handle_) Release(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  T* get() const { return handle_; }
  // Releases the handle held, if any, and holds handle instead.
  void reset(T* handle) {
    if (handle_) Release(handle_);
    handle_ = handle;
  }

 private:
  T* handle_;
};

// Owns a file descriptor; closed on destruction unless released.
class ScopedFd {
 public:
  explicit ScopedFd(int fd = -1) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// A growable, NUL-terminated byte buffer on the heap. Growth failures are reported by the
// return value, never by aborting.
class HeapText {
 public:
  HeapText() = default;
  ~HeapText() { free(data_); }
  HeapText(const HeapText&) = delete;
  HeapText& operator=(const HeapText&) = delete;

  // Makes room for at least capacity bytes plus a terminator. Keeps the content.
  bool reserve(size_t capacity) {
    if (capacity < capacity_) return true;
    size_t grown = capacity_ ? capacity_ * 2 : 64;
    while (grown <= capacity) grown *= 2;
    char* moved = static_cast<char*>(realloc(data_, grown));
    if (!moved) return false;
    data_ = moved;
    capacity_ = grown;
    return true;
  }
  bool append(const char* bytes, size_t count) {
    if (!reserve(size_ + count)) return false;
    memcpy(data_ + size_, bytes, count);
    size_ += count;
    data_[size_] = '\0';
    return true;
  }
  bool push_back(char c) { return append(&c, 1); }
  void clear() {
    size_ = 0;
    if (data_) data_[0] = '\0';
  }

  char* data() { return data_; }
  const char* c_str() const { return data_ ? data_ : ""; }
  size_t size() const { return size_; }
  void set_size(size_t size) {
    size_ = size;
    if (data_) data_[size_] = '\0';
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Copies text into a fixed buffer, cutting it to fit; always NUL-terminates.
inline void copy_text(char* dest, size_t dest_size, const char* text) {
  if (dest_size == 0) return;
  size_t n = strnlen(text, dest_size - 1);
  memcpy(dest, text, n);
  dest[n] = '\0';
}

// A fixed path of the service that tests may point elsewhere. Holds its own copy of the text, on
// the heap: the service itself never sets one, and carries no buffer for it.
class PathSetting {
 public:
  explicit constexpr PathSetting(const char* fixed) : fixed_(fixed) {}
  PathSetting(const PathSetting&) = delete;
  PathSetting& operator=(const PathSetting&) = delete;

  // nullptr restores the fixed path.
  void set(const char* path) {
    free(override_);
    override_ = path ? strdup(path) : nullptr;
  }
  const char* get() const { return override_ ? override_ : fixed_; }

 private:
  const char* fixed_;
  char* override_ = nullptr;
};
