#include "report/tls_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/resources.h"

namespace {

// What is wrong with a file the service must read, worded to follow "the client key PATH", or
// nullptr.
const char* unreadable(const char* path, struct stat* st) {
  if (stat(path, st) != 0) return errno == ENOENT ? "does not exist" : strerror(errno);
  if (!S_ISREG(st->st_mode)) return "is not a regular file";
  ScopedFd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return "cannot be read";
  return nullptr;
}

bool say(TlsProblem* problem, const char* format, ...) __attribute__((format(printf, 2, 3)));
bool say(TlsProblem* problem, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(problem->data(), problem->size(), format, args);
  va_end(args);
  return true;
}

// FNV-1a, a byte at a time.
uint64_t mix_byte(uint64_t hash, unsigned char byte) {
  return (hash ^ byte) * 1099511628211ull;
}

uint64_t mix_text(uint64_t hash, const char* text) {
  for (; *text; ++text) hash = mix_byte(hash, static_cast<unsigned char>(*text));
  return mix_byte(hash, 0);
}

uint64_t mix_number(uint64_t hash, uint64_t value) {
  for (int shift = 0; shift < 64; shift += 8)
    hash = mix_byte(hash, static_cast<unsigned char>(value >> shift));
  return hash;
}

// A file's name, and while it is there its inode, size and times of change: a file rewritten in
// place changes them.
uint64_t mix_file(uint64_t hash, const char* path) {
  hash = mix_text(hash, path);
  struct stat st = {};
  if (!path[0] || stat(path, &st) != 0) return hash;
  hash = mix_number(hash, static_cast<uint64_t>(st.st_ino));
  hash = mix_number(hash, static_cast<uint64_t>(st.st_size));
  hash = mix_number(hash, static_cast<uint64_t>(st.st_mtim.tv_sec));
  hash = mix_number(hash, static_cast<uint64_t>(st.st_mtim.tv_nsec));
  hash = mix_number(hash, static_cast<uint64_t>(st.st_ctim.tv_sec));
  return mix_number(hash, static_cast<uint64_t>(st.st_ctim.tv_nsec));
}

}  // namespace

TlsFiles read_tls_files() {
  TlsFiles files;
  config_get(files.client_cert, "easycwmp", "bandwidth", "client_cert");
  config_get(files.client_key, "easycwmp", "bandwidth", "client_key");
  config_get(files.ca_file, "easycwmp", "bandwidth", "ca_file");
  return files;
}

bool tls_files_unusable(const TlsFiles& files, TlsProblem* problem) {
  const char* cert = files.client_cert.data();
  const char* key = files.client_key.data();
  if (!cert[0] != !key[0])
    return say(problem, "easycwmp.bandwidth.%s is set but %s is not; the two go together",
               cert[0] ? "client_cert" : "client_key", cert[0] ? "client_key" : "client_cert");
  struct stat st;
  if (key[0]) {
    if (const char* why = unreadable(key, &st))
      return say(problem, "the client key %s %s", key, why);
    if (st.st_uid != geteuid())
      return say(problem, "the client key %s belongs to another user", key);
    if (st.st_mode & (S_IRWXG | S_IRWXO))
      return say(problem,
                 "the client key %s is open to group or others (mode %04o); it must be mode 0600",
                 key, static_cast<unsigned>(st.st_mode & 07777));
    if (const char* why = unreadable(cert, &st))
      return say(problem, "the client certificate %s %s", cert, why);
  }
  const char* ca = files.ca_file.data();
  if (ca[0]) {
    if (const char* why = unreadable(ca, &st)) return say(problem, "the CA file %s %s", ca, why);
  }
  return false;
}

uint64_t tls_files_fingerprint(const TlsFiles& files) {
  uint64_t hash = 14695981039346656037ull;
  hash = mix_file(hash, files.client_cert.data());
  hash = mix_file(hash, files.client_key.data());
  return mix_file(hash, files.ca_file.data());
}
