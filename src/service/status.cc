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
#include "inputs/module.h"
#include "report/accounting.h"
#include "report/human_size.h"
#include "report/pending.h"
#include "service/schedule.h"

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

enum class Route { kModule, kOther, kNone, kUnknown };
const char* const kRouteNames[] = {"module", "other", "none", "unknown"};

// Everything --status says, gathered once and then printed one way or the other.
struct Facts {
  pid_t pid = 0;
  ModuleInterface module;
  Route route = Route::kUnknown;
  InterfaceName gateway{};
  bool saved = false;  // the state file was read
  Accounting books;    // as the next report would find them
  bool sampled = false;
  Traffic unaccepted;
  std::optional<PendingTraffic> on_flash;
  bool flash_this_boot = false;
  bool report_id = false;  // reports carry the books' epoch and their number
  int64_t next_cycle = 0;  // 0: not running, or its schedule is not known
  int64_t hold_until = 0;  // 0: no report is held by the server
};

Facts gather(const char* lock_path, int64_t max_report_interval) {
  Facts f;
  f.pid = running_service(lock_path);
  f.module = find_module_interface();
  if (std::optional<DefaultRoute> route = find_default_route(f.module.name.data())) {
    f.gateway = route->gateway;
    f.route = route->via_module                            ? Route::kModule
              : strcmp(route->gateway.data(), "NONE") == 0 ? Route::kNone
                                                           : Route::kOther;
  }
  // The books as the start would take them back, and what the next report would send.
  Accounting saved;
  PendingTraffic pending;
  bool loaded = load_accounting(&saved) == SavedFile::kLoaded;
  if (load_pending(&pending) == SavedFile::kLoaded) f.on_flash = pending;
  BootId boot = read_boot_id();
  ResumedBooks resumed =
      resume_books(loaded ? std::optional<Accounting>(saved) : std::nullopt, f.on_flash, boot, 0);
  f.saved = resumed.from == ResumedBooks::From::kState;
  f.flash_this_boot = kept_this_boot(f.on_flash, boot);
  std::optional<CounterSample> sample = sample_counters(f.module.name.data());
  f.sampled = sample.has_value();
  std::optional<CounterSample> before;  // a hand-over: measured from the last sample
  if (sample)
    sample->returned = modem_returned(resumed.books, *sample, f.module.module_digest, &before);
  Measurement m = measure(resumed.books, sample);
  f.books = m.next;
  f.unaccepted = m.due;
  f.report_id = config_is("easycwmp", "bandwidth", "report_id", "1");
  // When the running service's next cycle comes, by the schedule it keeps in the books.
  const Accounting& b = f.books;
  int64_t now = static_cast<int64_t>(time(nullptr));
  // A schedule the service cannot have written (the file edited by hand) tells no next cycle.
  if (f.pid > 0 && b.interval > 0 && b.interval <= INT32_MAX && b.moment < b.interval) {
    Schedule schedule{b.interval, b.moment, b.spread != 0};
    f.next_cycle = schedule.spread || b.last_cycle <= 0 || b.last_cycle > INT64_MAX - b.interval
                       ? now + seconds_to_cycle(schedule, now, Since::kCycle)
                       : b.last_cycle + b.interval;
  }
  if (hold_kept(b, now, max_report_interval)) f.hold_until = b.hold_until;
  return f;
}

void print_ago(int64_t then) {
  int64_t since = static_cast<int64_t>(time(nullptr)) - then;
  // In 32 bits (a 32-bit router has no 64-bit division): 68 years are more than a router's life.
  unsigned long seconds = since < 0            ? 0
                          : since > 0x7fffffff ? 0x7fffffffUL
                                               : static_cast<unsigned long>(since);
  if (seconds < 60)
    printf("%lu s ago", seconds);
  else if (seconds < 3600)
    printf("%lu min %lu s ago", seconds / 60, seconds % 60);
  else if (seconds < 86400)
    printf("%lu h %lu min ago", seconds / 3600, seconds % 3600 / 60);
  else
    printf("%lu d %lu h ago", seconds / 86400, seconds % 86400 / 3600);
}

void print_traffic(const Traffic& t) {
  printf("tx %" PRIu64 " rx %" PRIu64 " total %" PRIu64 " bytes (tx %s rx %s total %s)", t.tx, t.rx,
         t.total(), human_size(t.tx).text, human_size(t.rx).text, human_size(t.total()).text);
}

void print_text(const Facts& f) {
  if (f.pid > 0)
    printf("tolvu is running, PID %ld\n", static_cast<long>(f.pid));
  else
    puts("tolvu is not running");

  const char* module = f.module.name.data();
  if (!module[0]) {
    printf("Module interface: not configured (%s)\n", f.module.problem.data());
  } else {
    printf("Module interface: %s (%s)", module, f.module.found_by.data());
    fputs(", ", stdout);
    if (f.route == Route::kModule)
      puts("carries the default route now");
    else if (f.route == Route::kNone)
      puts("there is no default route");
    else if (f.route == Route::kOther)
      printf("does not carry the default route (it goes via %s)\n", f.gateway.data());
    else
      puts("the routing table cannot be read");
  }

  fputs("Last accepted report: ", stdout);
  if (f.books.last_accepted > 0) {
    printf("%s, ", local_time_text(f.books.last_accepted).data());
    print_ago(f.books.last_accepted);
    putchar('\n');
  } else {
    puts("none since the router started");
  }

  fputs("Not yet accepted: ", stdout);
  if (f.sampled) {
    print_traffic(f.unaccepted);
    putchar('\n');
  } else if (module[0]) {
    printf("unknown, the counters of %s cannot be read\n", module);
  } else {
    puts("unknown, no module interface");
  }
  const CounterBooks &tx = f.books.tx, &rx = f.books.rx;
  if (tx.carry || rx.carry) {
    char origin[96];
    carry_origin(f.books.carry_from, nullptr, nullptr, origin, sizeof(origin));
    printf("  of which carried over from %s: ", origin);
    print_traffic({tx.carry, rx.carry});
    putchar('\n');
  }
  if (f.on_flash) {
    printf("Kept on flash in %s: ", pending_file());
    print_traffic(f.on_flash->traffic);
    printf(", written %s in %s\n", local_time_text(f.on_flash->written).data(),
           f.flash_this_boot ? "this boot" : "an earlier boot");
  }

  if (f.report_id && f.books.epoch)
    printf("Report identity: epoch %016" PRIx64 ", next report %" PRIu64 "\n", f.books.epoch,
           f.books.seq);
  else if (f.report_id)
    puts("Report identity: chosen at the next start");

  if (f.books.interval > 0) {
    printf("Cycles: every %" PRId64 " s", f.books.interval);
    if (f.books.spread) printf(", %" PRId64 " s into each (report_spread)", f.books.moment);
    if (f.next_cycle) printf(", the next at %s", local_time_text(f.next_cycle).data());
    putchar('\n');
  }
  if (f.hold_until)
    printf("Reports held: the server asked to wait until %s\n",
           local_time_text(f.hold_until).data());

  fputs("Last cycle: ", stdout);
  if (f.saved && f.books.last_cycle > 0) {
    printf("%s, %s", local_time_text(f.books.last_cycle).data(),
           outcome_name(f.books.last_outcome));
    if (f.books.last_error[0]) printf(": %s", f.books.last_error.data());
    putchar('\n');
  } else {
    puts("none yet");
  }
}

// The length of the UTF-8 sequence at p, or 0 when it is not a valid one.
size_t utf8_length(const unsigned char* p) {
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  auto in = [](unsigned char b, unsigned char low, unsigned char high) {
    return b >= low && b <= high;
  };
  if (in(c, 0xc2, 0xdf)) return in(p[1], 0x80, 0xbf) ? 2 : 0;
  // The second byte's range rules out overlong forms, surrogates and code points past U+10FFFF.
  unsigned char low = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
  unsigned char high = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
  size_t n = in(c, 0xe0, 0xef) ? 3 : in(c, 0xf0, 0xf4) ? 4 : 0;
  if (n == 0 || !in(p[1], low, high)) return 0;
  for (size_t i = 2; i < n; ++i) {
    if (!in(p[i], 0x80, 0xbf)) return 0;
  }
  return n;
}

// A JSON string: quotes, backslashes and control characters escaped, valid UTF-8 passed through,
// and any other byte escaped as the Latin-1 character it would be, so that whatever a
// configuration holds the output stays valid JSON.
void print_json_string(const char* text) {
  putchar('"');
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c;) {
    size_t n = utf8_length(c);
    if (*c == '"' || *c == '\\')
      printf("\\%c", *c);
    else if (n == 0 || *c < 0x20 || *c == 0x7f)
      printf("\\u%04x", *c);
    else
      fwrite(c, 1, n, stdout);
    c += n ? n : 1;
  }
  putchar('"');
}

void print_json_traffic(const Traffic& t) {
  printf("{\"tx\":%" PRIu64 ",\"rx\":%" PRIu64 ",\"total\":%" PRIu64 ",\"readable\":", t.tx, t.rx,
         t.total());
  print_json_string(human_size(t.total()).text);
  putchar('}');
}

void print_json_time(int64_t unix_time) {
  if (unix_time > 0)
    printf("%" PRId64, unix_time);
  else
    fputs("null", stdout);
}

void print_json(const Facts& f) {
  printf("{\"running\":%s,\"pid\":", f.pid > 0 ? "true" : "false");
  if (f.pid > 0)
    printf("%ld", static_cast<long>(f.pid));
  else
    fputs("null", stdout);

  fputs(",\"module\":{\"interface\":", stdout);
  if (f.module.name[0]) {
    print_json_string(f.module.name.data());
    fputs(",\"found_by\":", stdout);
    print_json_string(f.module.found_by.data());
  } else {
    fputs("null,\"problem\":", stdout);
    print_json_string(f.module.problem.data());
  }
  printf(",\"route\":\"%s\",\"gateway\":", kRouteNames[static_cast<int>(f.route)]);
  if (f.route == Route::kUnknown)
    fputs("null", stdout);
  else
    print_json_string(f.gateway.data());
  putchar('}');

  fputs(",\"last_accepted\":", stdout);
  print_json_time(f.books.last_accepted);
  fputs(",\"unaccepted\":", stdout);
  if (f.sampled)
    print_json_traffic(f.unaccepted);
  else
    fputs("null", stdout);
  fputs(",\"carried\":", stdout);
  print_json_traffic({f.books.tx.carry, f.books.rx.carry});
  fputs(",\"carried_from\":", stdout);
  char origin[96] = "";
  if (f.books.tx.carry || f.books.rx.carry)
    carry_origin(f.books.carry_from, nullptr, nullptr, origin, sizeof(origin));
  print_json_string(origin);

  fputs(",\"on_flash\":", stdout);
  if (f.on_flash) {
    printf("{\"tx\":%" PRIu64 ",\"rx\":%" PRIu64 ",\"written\":%" PRId64 ",\"this_boot\":%s}",
           f.on_flash->traffic.tx, f.on_flash->traffic.rx, f.on_flash->written,
           f.flash_this_boot ? "true" : "false");
  } else {
    fputs("null", stdout);
  }

  fputs(",\"report_id\":", stdout);
  if (f.report_id && f.books.epoch)
    printf("{\"epoch\":\"%016" PRIx64 "\",\"seq\":%" PRIu64 "}", f.books.epoch, f.books.seq);
  else
    fputs("null", stdout);

  fputs(",\"schedule\":", stdout);
  if (f.books.interval > 0) {
    printf("{\"interval\":%" PRId64 ",\"moment\":", f.books.interval);
    if (f.books.spread)
      printf("%" PRId64, f.books.moment);
    else
      fputs("null", stdout);
    fputs(",\"next_cycle\":", stdout);
    print_json_time(f.next_cycle);
    putchar('}');
  } else {
    fputs("null", stdout);
  }
  fputs(",\"hold_until\":", stdout);
  print_json_time(f.hold_until);

  fputs(",\"last_cycle\":", stdout);
  if (f.saved && f.books.last_cycle > 0) {
    printf("{\"time\":%" PRId64 ",\"outcome\":\"%s\",\"error\":", f.books.last_cycle,
           outcome_name(f.books.last_outcome));
    print_json_string(f.books.last_error.data());
    putchar('}');
  } else {
    fputs("null", stdout);
  }
  puts("}");
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

int print_status(const char* lock_path, bool json, int64_t max_report_interval) {
  verbose = 0;  // a report for a person or a program, without the cycle's commentary
  stdout_is_data = json;
  Facts facts = gather(lock_path, max_report_interval);
  if (json)
    print_json(facts);
  else
    print_text(facts);
  return facts.pid > 0 ? 0 : 3;
}
