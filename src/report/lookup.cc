#include "report/lookup.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/resources.h"
#include "common/signals.h"

namespace {

constexpr size_t kAddressesSize = 512;

bool ends_with(const char* text, const char* end) {
  size_t n = strlen(text), m = strlen(end);
  return n >= m && strcmp(text + n - m, end) == 0;
}

// In the child: the addresses, as CURLOPT_RESOLVE takes them, written to fd.
[[noreturn]] void look_up(const char* host, int fd) {
  // It dies with the service, so that it never holds the service's files past it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0) _exit(1);
  char text[kAddressesSize] = "";
  size_t used = 0;
  for (struct addrinfo* a = found; a; a = a->ai_next) {
    char address[INET6_ADDRSTRLEN];
    if (getnameinfo(a->ai_addr, a->ai_addrlen, address, sizeof(address), nullptr, 0,
                    NI_NUMERICHOST) != 0)
      continue;
    bool v6 = a->ai_family == AF_INET6;
    int n = snprintf(text + used, sizeof(text) - used, "%s%s%s%s", used ? "," : "", v6 ? "[" : "",
                     address, v6 ? "]" : "");
    if (n < 0 || static_cast<size_t>(n) >= sizeof(text) - used) break;
    used += static_cast<size_t>(n);
  }
  ssize_t written = write(fd, text, used);
  _exit(written > 0 ? 0 : 1);
}

}  // namespace

LookupOutcome look_up_server(const char* host, int port, int64_t timeout_ms, char* entry,
                             size_t entry_size) {
  if (strcmp(host, "localhost") == 0 || ends_with(host, ".localhost")) return LookupOutcome::kLocal;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return LookupOutcome::kNotFound;
  ScopedFd reader(fds[0]);
  pid_t child = fork();
  if (child == 0) look_up(host, fds[1]);
  close(fds[1]);
  if (child < 0) return LookupOutcome::kNotFound;

  char addresses[kAddressesSize + 1];
  size_t got = 0;
  bool readable = wait_readable(reader.get(), timeout_ms);
  if (readable) {
    ssize_t n;
    while ((n = read(reader.get(), addresses + got, kAddressesSize - got)) > 0 ||
           (n < 0 && errno == EINTR))
      got += n > 0 ? static_cast<size_t>(n) : 0;
  }
  // Abandoned or done, the child is ended and reaped here (with SIGCHLD ignored, as in daemon
  // mode, the kernel reaps it and waitpid just waits for that).
  kill(child, SIGKILL);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (!readable) return stop_requested() ? LookupOutcome::kStopped : LookupOutcome::kNotFound;
  addresses[got] = '\0';
  int n = snprintf(entry, entry_size, "%s:%d:%s", host, port, addresses);
  return got > 0 && n > 0 && static_cast<size_t>(n) < entry_size ? LookupOutcome::kFound
                                                                 : LookupOutcome::kNotFound;
}
