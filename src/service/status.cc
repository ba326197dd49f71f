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

// What --status says, one row a fact, in the order both formats print them. A row names its
// line's opening for a person (after which the line's body follows), its key in the JSON object,
// and the kind of value, by which each printer knows where in Facts to find it.
enum class Kind : unsigned char {
  kService,      // whether the service runs, and its PID
  kModule,       // the module interface, how it was found, and its route
  kAccepted,     // when the last report was accepted
  kUnaccepted,   // the traffic the next report would send
  kCarried,      // of which carried over from an earlier count
  kOnFlash,      // traffic kept on flash, refused by the server or not yet sent
  kReportId,     // the books' epoch and the next report's number
  kSchedule,     // the cycles' interval, moment and the next one
  kHold,         // a hold the server asked for
  kLastCycle,    // the last cycle's time, outcome and error
  kSim,          // the SIM the books count, with report_sim
  kSimsWaiting,  // closed SIMs' traffic waiting, oldest first
};

struct Row {
  Kind kind;
  const char* key;
  const char* label;
};

constexpr Row kRows[] = {
    {Kind::kService, "running", ""},
    {Kind::kModule, "module", "Module interface: "},
    {Kind::kAccepted, "last_accepted", "Last accepted report: "},
    {Kind::kUnaccepted, "unaccepted", "Not yet accepted: "},
    {Kind::kCarried, "carried", "  of which carried over from "},
    {Kind::kSim, "sim", "SIM: "},
    {Kind::kSimsWaiting, "sims_waiting", "Waiting for SIM "},
    {Kind::kOnFlash, "on_flash", "Kept on flash in "},
    {Kind::kReportId, "report_id", "Report identity: "},
    {Kind::kSchedule, "schedule", "Cycles: "},
    {Kind::kHold, "hold_until", "Reports held: "},
    {Kind::kLastCycle, "last_cycle", "Last cycle: "},
};

// Whether a row has its value; without it a person reads a row's "none" text, or no line at all
// where a row has none, and a program reads null.
bool has(const Facts& f, Kind kind) {
  const Accounting& b = f.books;
  switch (kind) {
    case Kind::kService:
      return f.pid > 0;
    case Kind::kAccepted:
      return b.last_accepted > 0;
    case Kind::kUnaccepted:
      return f.sampled;
    case Kind::kCarried:
      return b.tx.carry || b.rx.carry;
    case Kind::kOnFlash:
      return f.on_flash.has_value();
    case Kind::kReportId:
      return f.report_id && b.epoch;
    case Kind::kSchedule:
      return b.interval > 0;
    case Kind::kHold:
      return f.hold_until != 0;
    case Kind::kLastCycle:
      return f.saved && b.last_cycle > 0;
    case Kind::kSim:
      return b.sim[0];
    case Kind::kSimsWaiting:
      return b.closed[0].iccid[0];
    case Kind::kModule:
      break;
  }
  return true;
}

// Whether a row without its value still has a line for a person.
bool told_when_missing(const Facts& f, Kind kind) {
  return kind == Kind::kReportId ? f.report_id : kind < Kind::kCarried || kind == Kind::kLastCycle;
}

// A row's body for a person, after its label, up to the end of its line.
void print_text_body(const Facts& f, Kind kind, bool value) {
  const Accounting& b = f.books;
  const char* module = f.module.name.data();
  switch (kind) {
    case Kind::kService:
      if (value)
        printf("tolvu is running, PID %ld", static_cast<long>(f.pid));
      else
        fputs("tolvu is not running", stdout);
      break;
    case Kind::kModule:
      if (!module[0]) {
        printf("not configured (%s)", f.module.problem.data());
        break;
      }
      printf("%s (%s), ", module, f.module.found_by.data());
      if (f.route == Route::kModule)
        fputs("carries the default route now", stdout);
      else if (f.route == Route::kNone)
        fputs("there is no default route", stdout);
      else if (f.route == Route::kOther)
        printf("does not carry the default route (it goes via %s)", f.gateway.data());
      else
        fputs("the routing table cannot be read", stdout);
      break;
    case Kind::kAccepted:
      if (!value) {
        fputs("none since the router started", stdout);
        break;
      }
      printf("%s, ", local_time_text(b.last_accepted).data());
      print_ago(b.last_accepted);
      break;
    case Kind::kUnaccepted:
      if (value)
        print_traffic(f.unaccepted);
      else if (module[0])
        printf("unknown, the counters of %s cannot be read", module);
      else
        fputs("unknown, no module interface", stdout);
      break;
    case Kind::kCarried: {
      char origin[96];
      carry_origin(b.carry_from, nullptr, nullptr, origin, sizeof(origin));
      printf("%s: ", origin);
      print_traffic({b.tx.carry, b.rx.carry});
      break;
    }
    case Kind::kOnFlash:
      printf("%s: ", pending_file());
      print_traffic(f.on_flash->traffic);
      printf(", written %s in %s", local_time_text(f.on_flash->written).data(),
             f.flash_this_boot ? "this boot" : "an earlier boot");
      break;
    case Kind::kReportId:
      if (value)
        printf("epoch %016" PRIx64 ", next report %" PRIu64, b.epoch, b.seq);
      else
        fputs("chosen at the next start", stdout);
      break;
    case Kind::kSchedule:
      printf("every %" PRId64 " s", b.interval);
      if (b.spread) printf(", %" PRId64 " s into each (report_spread)", b.moment);
      if (f.next_cycle) printf(", the next at %s", local_time_text(f.next_cycle).data());
      break;
    case Kind::kHold:
      printf("the server asked to wait until %s", local_time_text(f.hold_until).data());
      break;
    case Kind::kSim:
      fputs(b.sim.data(), stdout);
      break;
    case Kind::kSimsWaiting:
      for (const SimBooks& sim : b.closed) {
        if (!sim.iccid[0]) break;
        if (&sim != &b.closed[0]) fputs("\nWaiting for SIM ", stdout);
        printf("%s: ", sim.iccid.data());
        print_traffic(sim.traffic);
      }
      break;
    case Kind::kLastCycle:
      if (!value) {
        fputs("none yet", stdout);
        break;
      }
      printf("%s, %s", local_time_text(b.last_cycle).data(), outcome_name(b.last_outcome));
      if (b.last_error[0]) printf(": %s", b.last_error.data());
      break;
  }
}

void print_text(const Facts& f) {
  for (const Row& row : kRows) {
    bool value = has(f, row.kind);
    if (!value && !told_when_missing(f, row.kind)) continue;
    fputs(row.label, stdout);
    print_text_body(f, row.kind, value);
    putchar('\n');
  }
}

// A row's JSON value, after its key; a row without its value is null, except the few below
// that are never null.
void print_json_value(const Facts& f, Kind kind, bool value) {
  const Accounting& b = f.books;
  switch (kind) {
    case Kind::kService:
      if (value)
        printf("true,\"pid\":%ld", static_cast<long>(f.pid));
      else
        fputs("false,\"pid\":null", stdout);
      return;
    case Kind::kModule:
      fputs("{\"interface\":", stdout);
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
      return;
    case Kind::kCarried: {
      print_json_traffic({b.tx.carry, b.rx.carry});
      fputs(",\"carried_from\":", stdout);
      char origin[96] = "";
      if (value) carry_origin(b.carry_from, nullptr, nullptr, origin, sizeof(origin));
      print_json_string(origin);
      return;
    }
    default:
      break;
  }
  if (!value) {
    fputs("null", stdout);
    return;
  }
  switch (kind) {
    case Kind::kAccepted:
      printf("%" PRId64, b.last_accepted);
      break;
    case Kind::kUnaccepted:
      print_json_traffic(f.unaccepted);
      break;
    case Kind::kOnFlash:
      printf("{\"tx\":%" PRIu64 ",\"rx\":%" PRIu64 ",\"written\":%" PRId64 ",\"this_boot\":%s}",
             f.on_flash->traffic.tx, f.on_flash->traffic.rx, f.on_flash->written,
             f.flash_this_boot ? "true" : "false");
      break;
    case Kind::kReportId:
      printf("{\"epoch\":\"%016" PRIx64 "\",\"seq\":%" PRIu64 "}", b.epoch, b.seq);
      break;
    case Kind::kSchedule:
      printf("{\"interval\":%" PRId64 ",\"moment\":", b.interval);
      if (b.spread)
        printf("%" PRId64, b.moment);
      else
        fputs("null", stdout);
      fputs(",\"next_cycle\":", stdout);
      print_json_time(f.next_cycle);
      putchar('}');
      break;
    case Kind::kHold:
      printf("%" PRId64, f.hold_until);
      break;
    case Kind::kSim:
      print_json_string(b.sim.data());
      break;
    case Kind::kSimsWaiting: {
      char open = '[';
      for (const SimBooks& sim : b.closed) {
        if (!sim.iccid[0]) break;
        printf("%c{\"iccid\":\"%s\",\"epoch\":\"%016" PRIx64 "\",\"seq\":%" PRIu64 ",\"traffic\":",
               open, sim.iccid.data(), sim.epoch, sim.seq);
        print_json_traffic(sim.traffic);
        putchar('}');
        open = ',';
      }
      putchar(']');
      break;
    }
    case Kind::kLastCycle:
      printf("{\"time\":%" PRId64 ",\"outcome\":\"%s\",\"error\":", b.last_cycle,
             outcome_name(b.last_outcome));
      print_json_string(b.last_error.data());
      putchar('}');
      break;
    default:
      break;
  }
}

void print_json(const Facts& f) {
  char open = '{';
  for (const Row& row : kRows) {
    printf("%c\"%s\":", open, row.key);
    open = ',';
    print_json_value(f, row.kind, has(f, row.kind));
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
