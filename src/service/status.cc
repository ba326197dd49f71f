#include "service/status.h"

#include <fcntl.h>
#include <inttypes.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <optional>

#include "common/log.h"
#include "common/private_file.h"
#include "common/resources.h"
#include "inputs/config.h"
#include "inputs/gateway.h"
#include "inputs/interface.h"
#include "report/accounting.h"
#include "report/human_size.h"

namespace {

constexpr const char kLockTable[] = "/proc/locks";

// The PID written in the lock file, or 0.
pid_t lock_file_pid(int fd) {
  char text[32] = {};
  if (pread(fd, text, sizeof(text) - 1, 0) <= 0) return 0;
  long pid = strtol(text, nullptr, 10);
  return pid > 0 && pid < 0x7fffffff ? static_cast<pid_t>(pid) : 0;
}

// Whether /proc/locks holds a flock on the file dev:inode; its PID goes to *holder.
bool flock_held(dev_t dev, ino_t inode, pid_t* holder) {
  ScopedFile table(kLockTable, "re");
  char row[256];
  char wanted[64];
  snprintf(wanted, sizeof(wanted), "%02x:%02x:%ju", major(dev), minor(dev),
           static_cast<uintmax_t>(inode));
  while (table && fgets(row, sizeof(row), table.get())) {
    // "1: FLOCK  ADVISORY  WRITE 1234 00:2e:5678 0 EOF"; a waiting lock has "->" after the number
    // and does not count.
    char* fields[6] = {};
    char* rest = nullptr;
    size_t n = 0;
    for (char* f = strtok_r(row, " \t\n", &rest); f && n < 6; f = strtok_r(nullptr, " \t\n", &rest))
      fields[n++] = f;
    if (n < 6 || strcmp(fields[1], "FLOCK") != 0 || strcmp(fields[5], wanted) != 0) continue;
    *holder = static_cast<pid_t>(strtol(fields[4], nullptr, 10));
    return true;
  }
  return false;
}

void print_ago(int64_t then) {
  int64_t seconds = static_cast<int64_t>(time(nullptr)) - then;
  if (seconds < 0) seconds = 0;
  if (seconds < 60)
    printf("%" PRId64 " s ago", seconds);
  else if (seconds < 3600)
    printf("%" PRId64 " min %" PRId64 " s ago", seconds / 60, seconds % 60);
  else if (seconds < 86400)
    printf("%" PRId64 " h %" PRId64 " min ago", seconds / 3600, seconds % 3600 / 60);
  else
    printf("%" PRId64 " d %" PRId64 " h ago", seconds / 86400, seconds % 86400 / 3600);
}

void print_route(const char* module) {
  std::optional<InterfaceName> gateway = get_gateway();
  if (!gateway)
    puts("the routing table cannot be read");
  else if (strcmp(gateway->data(), module) == 0)
    puts("carries the default route now");
  else if (strcmp(gateway->data(), "NONE") == 0)
    puts("there is no default route");
  else
    printf("does not carry the default route (it goes via %s)\n", gateway->data());
}

void print_unaccepted(const Accounting& accounting, bool saved, const char* module) {
  fputs("Not yet accepted: ", stdout);
  CounterOwner now = current_owner(module);
  if (now.ifindex == 0) {
    printf("unknown, %s is not there\n", module);
    return;
  }
  uint64_t tx = read_interface_counter(module, "tx_bytes");
  uint64_t rx = read_interface_counter(module, "rx_bytes");
  // What the next report would send: the cycle's own rule, on a copy.
  Accounting next = accounting;
  const char* stale =
      saved ? baselines_stale(next, now, tx, rx) : "no state saved since the router started";
  if (stale) count_afresh(&next, now);
  uint64_t txdiff = tx - next.tx_baseline;
  uint64_t rxdiff = rx - next.rx_baseline;
  printf("tx %" PRIu64 " rx %" PRIu64 " total %" PRIu64 " bytes (tx %s rx %s total %s)", txdiff,
         rxdiff, txdiff + rxdiff, human_size(txdiff).text, human_size(rxdiff).text,
         human_size(txdiff + rxdiff).text);
  if (stale) printf("; the next report counts afresh: %s", stale);
  putchar('\n');
}

}  // namespace

pid_t running_service(const char* lock_path) {
  const char* problem = nullptr;
  ScopedFd fd(open_private_file(lock_path, O_RDONLY, &problem));
  struct stat st;
  pid_t holder = 0;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !flock_held(st.st_dev, st.st_ino, &holder))
    return 0;
  // The kernel names the process that took the lock; a daemon took it before it forked, and
  // wrote its own PID into the file after.
  pid_t written = lock_file_pid(fd.get());
  return written > 0 && kill(written, 0) == 0 ? written : holder;
}

int print_status(const char* lock_path) {
  verbose = 0;  // a report for a person, without the cycle's commentary
  pid_t pid = running_service(lock_path);
  if (pid > 0)
    printf("tolvu is running, PID %ld\n", static_cast<long>(pid));
  else
    puts("tolvu is not running");

  ConfigField module{};
  config_get(module, "network", "module", "ifname");
  if (!module[0]) {
    puts("Module interface: not set (network.module.ifname)");
  } else {
    printf("Module interface: %s, ", module.data());
    print_route(module.data());
  }

  Accounting accounting;
  bool saved = load_accounting(&accounting) == StateLoad::kLoaded;
  fputs("Last accepted report: ", stdout);
  if (saved && accounting.last_accepted > 0) {
    printf("%s, ", local_time_text(accounting.last_accepted).data());
    print_ago(accounting.last_accepted);
    putchar('\n');
  } else {
    puts("none since the router started");
  }
  if (module[0]) print_unaccepted(accounting, saved, module.data());
  fputs("Last cycle: ", stdout);
  if (saved && accounting.last_cycle > 0) {
    printf("%s, %s", local_time_text(accounting.last_cycle).data(),
           outcome_name(accounting.last_outcome));
    if (accounting.last_error[0]) printf(": %s", accounting.last_error.data());
    putchar('\n');
  } else {
    puts("none yet");
  }
  return pid > 0 ? 0 : 3;
}
