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

int kept_from_children = -1;

[[noreturn]] void run_child(ChildAnswerer answer, const char* question, int fd, pid_t service) {
  // The instance lock is the service's alone: a child that held it could keep every new start
  // out for as long as its question hangs.
  if (kept_from_children >= 0) close(kept_from_children);
  // It dies with the service. A service killed before this line was armed left the child to
  // another parent: it ends at once instead of asking.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != service) _exit(1);
  // A group of its own (the service makes it so too, whichever runs first): what it starts
  // (tools, their shells' pipelines) is killed with it.
  setpgid(0, 0);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  answer(question, fd);
  _exit(0);
}

}  // namespace

void keep_from_children(int fd) {
  kept_from_children = fd;
}

ChildAnswer ask_child(ChildAnswerer answer, const char* question, int64_t timeout_ms, char* reply,
                      size_t reply_size) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return ChildAnswer::kNoAnswer;
  ScopedFd reader(fds[0]);
  pid_t service = getpid();
  pid_t child = fork();
  if (child == 0) run_child(answer, question, fds[1], service);
  close(fds[1]);
  if (child < 0) return ChildAnswer::kNoAnswer;
  setpgid(child, child);

  // The answer is complete when the child closes the pipe (it has ended).
  int64_t deadline = monotonic_ms() + timeout_ms;
  size_t used = 0;
  ChildAnswer outcome = ChildAnswer::kAnswered;
  for (;;) {
    if (!wait_readable(reader.get(), deadline)) {
      outcome = stop_requested() ? ChildAnswer::kStopped : ChildAnswer::kNoAnswer;
      break;
    }
    // A reply that fills the buffer before the child ends is no answer: it never said it finished.
    if (used == reply_size - 1) {
      outcome = ChildAnswer::kNoAnswer;
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
  // Done or abandoned, the child and its group are ended and the child reaped here (with SIGCHLD
  // ignored, as in daemon mode, the kernel reaps it and waitpid just waits for that).
  kill(-child, SIGKILL);
  kill(child, SIGKILL);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return outcome;
}
