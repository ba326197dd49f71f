#include "common/signals.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <time.h>

namespace {

volatile sig_atomic_t stop_flag = 0;
volatile sig_atomic_t cycle_flag = 0;

void note_signal(int signal_number) {
  if (signal_number == SIGUSR1)
    cycle_flag = 1;
  else
    stop_flag = 1;
}

sigset_t answered_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGUSR1);
  return set;
}

// Waits, with the answered signals let through only inside ppoll, until fd is readable (true),
// the deadline passes, or a signal asks to stop (or, with cycle_ends_it, for a cycle now).
bool wait_until(int64_t deadline, int fd, bool cycle_ends_it, const sigset_t& open) {
  while (!stop_flag && !(cycle_ends_it && cycle_flag)) {
    int64_t left = deadline - monotonic_ms();
    if (left <= 0) break;
    // At most a day at a time, in 32 bits: a 32-bit router has no 64-bit division.
    uint32_t ms = left < 86400000 ? static_cast<uint32_t>(left) : 86400000u;
    struct timespec timeout = {static_cast<time_t>(ms / 1000),
                               static_cast<long>(ms % 1000) * 1000000};
    struct pollfd watched = {fd, POLLIN, 0};  // a negative fd is not watched, only waited with
    int n = ppoll(&watched, 1, &timeout, &open);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) break;
  }
  return false;
}

// wait_until with the signals held back between the look at the flags and the wait, and let
// through only inside ppoll: one that came just before the wait cannot be slept through. Whenever
// fd is readable, on_readable (when given) runs and the wait goes on. A cycle asked for is
// forgotten when it ends the wait, before the signals are let through again.
bool wait_held(int64_t deadline, int fd, bool cycle_ends_it, void (*on_readable)()) {
  sigset_t held = answered_signals(), open;
  sigprocmask(SIG_BLOCK, &held, &open);
  bool readable;
  while ((readable = wait_until(deadline, fd, cycle_ends_it, open)) && on_readable) on_readable();
  if (cycle_ends_it) cycle_flag = 0;
  sigprocmask(SIG_SETMASK, &open, nullptr);
  return readable;
}

}  // namespace

int64_t monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void install_signal_handlers() {
  struct sigaction action = {};
  action.sa_handler = note_signal;
  // Interrupted reads and writes go on; waits (poll, libcurl's) still wake up to look.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  static const int kAnswered[] = {SIGTERM, SIGINT, SIGUSR1};
  for (int signal_number : kAnswered) sigaction(signal_number, &action, nullptr);
}

bool stop_requested() {
  return stop_flag != 0;
}

bool wait_for_next_cycle(unsigned seconds, int fd, void (*on_readable)()) {
  int64_t deadline = monotonic_ms() + static_cast<int64_t>(seconds) * 1000;
  wait_held(deadline, on_readable ? fd : -1, true, on_readable);
  return monotonic_ms() < deadline;  // ended early: a signal asked
}

bool wait_readable(int fd, int64_t deadline_ms) {
  return wait_held(deadline_ms, fd, false, nullptr);
}

void reset_signal_requests() {
  stop_flag = 0;
  cycle_flag = 0;
}
