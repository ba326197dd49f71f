// Shared by the fuzz harnesses: a scratch file that each input is written to.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

// A private directory for this fuzzing process, made once.
inline const char* scratch_dir() {
  static char dir[64] = "";
  if (!dir[0]) {
    snprintf(
        dir, sizeof(dir), "%s",
        access("/dev/shm", W_OK) == 0 ? "/dev/shm/tolvu-fuzz-XXXXXX" : "/tmp/tolvu-fuzz-XXXXXX");
    if (!mkdtemp(dir)) abort();
  }
  return dir;
}

// Writes the input to name inside the scratch directory; returns the full path.
inline const char* write_input(const char* name, const uint8_t* data, size_t size) {
  static char path[128];
  snprintf(path, sizeof(path), "%s/%s", scratch_dir(), name);
  FILE* file = fopen(path, "wb");
  if (!file) abort();
  if (size && fwrite(data, 1, size, file) != size) abort();
  fclose(file);
  return path;
}
