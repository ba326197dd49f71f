#include "common/child_query.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/signals.h"
#include "test_support.h"

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
    EXPECT_GE(ms, c.min_ms) << c.reply;
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

}  // namespace
