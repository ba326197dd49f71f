#include "common/child_query.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/prctl.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/signals.h"
#include "test_support.h"

// While set, a child about to be armed against its parent's death first says its PID here and
// waits (at most 5 s) for that parent to die: the window a service killed right after fork()
// leaves, made wide.
int widen_fd = -1;

// Stands in for the C library's prctl in this binary, so that the window can be widened.
extern "C" int prctl(int option, ...) {
  va_list args;
  va_start(args, option);
  unsigned long a[4];
  for (unsigned long& arg : a) arg = va_arg(args, unsigned long);
  va_end(args);
  if (option == PR_SET_PDEATHSIG && widen_fd >= 0) {
    pid_t self = getpid(), parent = getppid();
    if (write(widen_fd, &self, sizeof(self)) != sizeof(self)) _exit(2);
    for (int i = 0; i < 500 && getppid() == parent; ++i) usleep(10000);
  }
  return static_cast<int>(syscall(SYS_prctl, option, a[0], a[1], a[2], a[3]));
}

namespace {

// The child's answers: each starts with the child's PID, so that the test can see it is gone.
void say_pid(int fd, const char* then) {
  char text[64];
  int n = snprintf(text, sizeof(text), "%d %s", static_cast<int>(getpid()), then);
  if (write(fd, text, static_cast<size_t>(n)) != n) _exit(1);
}
void answers(const char*, int fd) {
  say_pid(fd, "wwan0");
}
void stalls_after_a_part(const char*, int fd) {
  say_pid(fd, "ww");
  sleep(30);
}
void overflows(const char*, int fd) {
  say_pid(fd, "wwan0 wwan0 wwan0 wwan0 wwan0 wwan0 wwan0");
  sleep(30);
}
void sleeps(const char*, int) {
  sleep(60);
}
void stops_the_service(const char*, int fd) {
  say_pid(fd, "");
  kill(getppid(), SIGTERM);
  sleep(30);
}

// Whatever the child does, the service waits no longer than the deadline, a stop ends the wait at
// once, and the child is killed and reaped before ask_child returns.
TEST(ChildQueryTest, TheDeadlineAndAStopEndTheChild) {
  install_signal_handlers();
  struct Case {
    ChildAnswerer answer;
    ChildAnswer outcome;
    const char* reply;
    int min_ms, max_ms;
  } cases[] = {
      {answers, ChildAnswer::kAnswered, "wwan0", 0, 1000},
      {stalls_after_a_part, ChildAnswer::kNoAnswer, "ww", 250, 1000},
      {stops_the_service, ChildAnswer::kStopped, "", 0, 1000},
  };
  for (const auto& c : cases) {
    auto started = std::chrono::steady_clock::now();
    char reply[32];
    EXPECT_EQ(ask_child(c.answer, "module", 250, reply, sizeof(reply)), c.outcome) << c.reply;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - started)
                  .count();
    // The service's clock counts whole milliseconds: its deadline may come up to 1 ms early.
    EXPECT_GE(ms, c.min_ms - 1) << c.reply;
    EXPECT_LT(ms, c.max_ms) << c.reply;
    char* rest = nullptr;
    pid_t child = static_cast<pid_t>(strtol(reply, &rest, 10));
    ASSERT_GT(child, 0) << c.reply;
    EXPECT_STREQ(rest + 1, c.reply);
    EXPECT_EQ(kill(child, 0), -1) << c.reply;  // not even a zombie
    EXPECT_EQ(errno, ESRCH) << c.reply;
    reset_signal_requests();
  }
}

// A service killed between fork() and the child's arming: the child finds itself another's and
// ends at once, and it never held the instance lock, so a new start takes it at once. A reply
// that fills the buffer is no answer either.
TEST(ChildQueryTest, NoChildOutlivesTheServiceOrKeepsItsLock) {
  char reply[16];
  EXPECT_EQ(ask_child(overflows, "module", 5000, reply, sizeof(reply)), ChildAnswer::kNoAnswer);
  EXPECT_EQ(strlen(reply), sizeof(reply) - 1);

  TempDir dir;
  std::string lock = dir.path() + "/tolvu.lock";
  pid_t harness = fork();
  if (harness == 0) {
    // The harness adopts the orphan, so that it can see when the orphan ends.
    bool adopts = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
    int pids[2];
    if (pipe(pids) != 0) _exit(10);
    pid_t service = fork();
    if (service == 0) {
      int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) _exit(11);
      keep_from_children(fd);
      widen_fd = pids[1];
      char answer[8];
      ask_child(sleeps, "module", 60000, answer, sizeof(answer));
      _exit(12);
    }
    pid_t child = 0;
    if (read(pids[0], &child, sizeof(child)) != sizeof(child)) _exit(13);
    kill(service, SIGKILL);
    waitpid(service, nullptr, 0);
    int fd = open(lock.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) _exit(1);  // the child kept the lock
    if (!adopts) _exit(0);  // no subreaper here (an emulator): the lock is all that can be seen
    // The orphan ends by itself: it would otherwise sleep its minute in the question.
    for (int i = 0; i < 1000; ++i) {
      if (waitpid(child, nullptr, WNOHANG) == child) _exit(0);
      usleep(10000);
    }
    kill(child, SIGKILL);
    _exit(2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(harness, &status, 0), harness);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the child held the lock; 2: it outlived the service";
}

}  // namespace
