#include "common/child_query.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/resources.h"
#include "common/signals.h"

namespace {

[[noreturn]] void run_child(ChildAnswerer answer, const char* question, int fd) {
  // It dies with the service, so that it never holds the service's files (its lock among them)
  // past it.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  answer(question, fd);
  _exit(0);
}

}  // namespace

ChildAnswer ask_child(ChildAnswerer answer, const char* question, int64_t timeout_ms, char* reply,
                      size_t reply_size) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return ChildAnswer::kNoAnswer;
  ScopedFd reader(fds[0]);
  pid_t child = fork();
  if (child == 0) run_child(answer, question, fds[1]);
  close(fds[1]);
  if (child < 0) return ChildAnswer::kNoAnswer;

  // The answer is complete when the child closes the pipe (it has ended).
  int64_t deadline = monotonic_ms() + timeout_ms;
  size_t used = 0;
  ChildAnswer outcome = ChildAnswer::kAnswered;
  for (;;) {
    if (!wait_readable(reader.get(), deadline)) {
      outcome = stop_requested() ? ChildAnswer::kStopped : ChildAnswer::kNoAnswer;
      break;
    }
    ssize_t n = read(reader.get(), reply + used, reply_size - 1 - used);
    if (n == 0) break;
    if (n > 0) used += static_cast<size_t>(n);
    if (n < 0 && errno != EINTR) {
      outcome = ChildAnswer::kNoAnswer;
      break;
    }
  }
  reply[used] = '\0';
  // Done or abandoned, the child is ended and reaped here (with SIGCHLD ignored, as in daemon
  // mode, the kernel reaps it and waitpid just waits for that).
  kill(child, SIGKILL);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return outcome;
}
