#include "report/accounting.h"

#include <fcntl.h>
#include <inttypes.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>

#include "common/key_value.h"
#include "common/log.h"
#include "common/private_file.h"
#include "common/resources.h"
#include "report/record.h"

const char kNoBootId[] = "the boot id cannot be read";

namespace {

PathSetting state_file(kStateFile);
bool save_failure_reported = false;

// The books as this process last wrote them to the state file, and the file's stamp then
// (saved_known false: not known). Books the same in every field are not formatted or written
// again while the file is still that one.
Accounting saved_books;
bool saved_known = false;
struct stat saved_stamp;

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The counter restarted: what it had not had accepted goes to the carry; it counts from 0.
uint64_t restart_counter(CounterBooks* books) {
  uint64_t pending = books->last - books->baseline;
  books->carry = add_saturating(books->carry, pending);
  books->baseline = 0;
  return pending;
}

// Counting moves to other counters that start at value: the pending traffic goes to the carry.
uint64_t hand_over(CounterBooks* books, uint64_t value) {
  uint64_t pending = restart_counter(books);
  books->baseline = value;
  return pending;
}

uint64_t due(const CounterBooks& books) {
  return add_saturating(books.carry, books.last - books.baseline);
}

// Why the books' counters and the sample's are not the same ones, or kNone when they are.
CounterRestart counters_changed(const CounterOwner& books, const CounterOwner& now) {
  if (!same_boot(books.boot_id, now.boot_id)) return CounterRestart::kReboot;
  if (strcmp(books.interface.data(), now.interface.data()) != 0)
    return CounterRestart::kModuleChanged;
  if (books.ifindex != now.ifindex) return CounterRestart::kRecreated;
  return CounterRestart::kNone;
}

// A sample of the books' own counters, direction by direction: on as usual; or back, when the
// counter (on a 32-bit kernel) wrapped, even on its way out, or restarted; or, in a final sample,
// back because the kernel no longer tells that counter, and the last sample stands. What went
// into the carry.
uint64_t book_counter(CounterBooks* books, uint64_t value, const CounterSample& sample,
                      CounterRestart* why) {
  uint64_t carried = 0;
  bool back = value < books->last;
  bool wrapped = back && sample.kernel_32bit && books->last < kCounter32 && value < kCounter32;
  // A final 0 is a counter the kernel does not tell, not a wrap.
  if (back && sample.final && !(wrapped && value > 0)) return 0;
  if (wrapped) {
    carried = kCounter32 - books->baseline;
    books->carry = add_saturating(books->carry, carried);
    books->baseline = 0;
    *why = CounterRestart::kWrapped;
  } else if (back) {
    carried = restart_counter(books);
    *why = CounterRestart::kCounterRestart;
  }
  books->last = value;
  return carried;
}

// Each restart: its word in the state file, its reason to count afresh ("" for those that always
// carry), and where its carried traffic came from.
struct RestartWords {
  const char* name;
  const char* reason;
  const char* origin;
};
constexpr RestartWords kRestartWords[] = {
    {"none", "", "earlier counters"},
    {"reboot", "the router has restarted", "before the router restarted"},
    {"recreated", "the interface was recreated", "the interface before it was recreated"},
    {"module", "the module interface has changed", "the module interface before it changed"},
    {"counter-restart", "the interface's counters restarted",
     "the interface's counters before they restarted"},
    {"earlier-boot", "", "an earlier boot"},
    {"wrapped", "", "the interface's 32-bit counters before they wrapped"},
    {"flash", "", "what was kept on flash in this boot"},
};
static_assert(sizeof(kRestartWords) / sizeof(kRestartWords[0]) == kCounterRestarts,
              "one row for each CounterRestart");

const SavedField kStateFields[] = {
    {"boot_id", FieldKind::kBootId, 6, offsetof(Accounting, owner.boot_id)},
    {"interface", FieldKind::kInterface, 6, offsetof(Accounting, owner.interface)},
    {"ifindex", FieldKind::kIndex, 6, offsetof(Accounting, owner.ifindex)},
    {"tx_baseline", FieldKind::kCount, 6, offsetof(Accounting, tx.baseline)},
    {"rx_baseline", FieldKind::kCount, 6, offsetof(Accounting, rx.baseline)},
    {"tx_last", FieldKind::kCount, 4, offsetof(Accounting, tx.last)},
    {"rx_last", FieldKind::kCount, 4, offsetof(Accounting, rx.last)},
    {"tx_carry", FieldKind::kCount, 4, offsetof(Accounting, tx.carry)},
    {"rx_carry", FieldKind::kCount, 4, offsetof(Accounting, rx.carry)},
    {"carry_from", FieldKind::kOrigin, 0, offsetof(Accounting, carry_from)},
    {"pending_taken", FieldKind::kBootId, 0, offsetof(Accounting, pending_taken)},
    {"last_accepted", FieldKind::kTime, 0, offsetof(Accounting, last_accepted)},
    {"last_cycle", FieldKind::kTime, 0, offsetof(Accounting, last_cycle)},
    {"last_outcome", FieldKind::kOutcome, 0, offsetof(Accounting, last_outcome)},
    {"last_error", FieldKind::kText, 0, offsetof(Accounting, last_error)},
    {"outage_since", FieldKind::kTime, 0, offsetof(Accounting, outage_since)},
    {"epoch", FieldKind::kEpoch, 0, offsetof(Accounting, epoch)},
    {"seq", FieldKind::kCount, 0, offsetof(Accounting, seq)},
    {"hold_until", FieldKind::kTime, 0, offsetof(Accounting, hold_until)},
    {"interval", FieldKind::kTime, 0, offsetof(Accounting, interval)},
    {"moment", FieldKind::kTime, 0, offsetof(Accounting, moment)},
    {"spread", FieldKind::kCount, 0, offsetof(Accounting, spread)},
    {"module_digest", FieldKind::kCount, 0, offsetof(Accounting, module_digest)},
    {"sim", FieldKind::kIccid, 0, offsetof(Accounting, sim)},
    {"sim_closed1", FieldKind::kSimBooks, 0, offsetof(Accounting, closed)},
    {"sim_closed2", FieldKind::kSimBooks, 0, offsetof(Accounting, closed) + sizeof(SimBooks)},
    {"sim_closed3", FieldKind::kSimBooks, 0, offsetof(Accounting, closed) + 2 * sizeof(SimBooks)},
    {"sim_closed4", FieldKind::kSimBooks, 0, offsetof(Accounting, closed) + 3 * sizeof(SimBooks)},
};
static_assert(kMaxSimBooks == 4, "a field for each closed SIM");
// Version 1 had no last samples and no carry; both are read.
const RecordFormat kStateFormat = {kStateFields, sizeof(kStateFields) / sizeof(kStateFields[0]), 6,
                                   kStateVersion};

bool already_saved(const Accounting& books) {
  struct stat now;
  return saved_known && same_fields(kStateFormat, &books, &saved_books) &&
         stat(state_file.get(), &now) == 0 && same_file(now, saved_stamp);
}

}  // namespace

uint64_t Traffic::total() const {
  return add_saturating(tx, rx);
}

Measurement measure(const Accounting& saved, const std::optional<CounterSample>& sample) {
  Measurement m;
  m.next = saved;
  Accounting& a = m.next;
  bool owned = a.owner.interface[0] != '\0';
  // A final sample speaks only of the counters the books hold.
  if (!sample || (sample->final &&
                  (!owned || counters_changed(a.owner, sample->owner) != CounterRestart::kNone))) {
    m.due = pending_traffic(a);
    return m;
  }
  if (owned) m.restart = counters_changed(a.owner, sample->owner);
  if (m.restart == CounterRestart::kModuleChanged && sample->returned)
    m.restart = CounterRestart::kRecreated;
  if (owned && m.restart == CounterRestart::kNone) {
    // The same counters: each one that went back restarted (or wrapped) on its own.
    m.carried.tx = book_counter(&a.tx, sample->tx, *sample, &m.restart);
    m.carried.rx = book_counter(&a.rx, sample->rx, *sample, &m.restart);
  } else {
    if (!owned) {
      // Nothing counted in this boot yet: the counters since the boot are all the module's.
      a.tx.baseline = a.rx.baseline = 0;
    } else if (m.restart == CounterRestart::kModuleChanged) {
      m.previous = a.owner.interface;
      m.carried.tx = hand_over(&a.tx, sample->tx);
      m.carried.rx = hand_over(&a.rx, sample->rx);
    } else {
      m.carried.tx = restart_counter(&a.tx);
      m.carried.rx = restart_counter(&a.rx);
    }
    a.tx.last = sample->tx;
    a.rx.last = sample->rx;
  }
  if (m.carried.total() > 0) a.carry_from = m.restart;
  a.owner = sample->owner;
  m.due = pending_traffic(a);
  return m;
}

bool modem_returned(const Accounting& books, const CounterSample& sample, uint64_t module_digest,
                    std::optional<CounterSample>* still_there) {
  const CounterOwner& owner = books.owner;
  if (!owner.interface[0] || strcmp(owner.interface.data(), sample.owner.interface.data()) == 0)
    return false;
  std::optional<CounterSample> before = sample_counters(owner.interface.data());
  if (before && before->owner.ifindex == owner.ifindex &&
      same_boot(before->owner.boot_id, owner.boot_id)) {
    *still_there = before;
    return false;
  }
  return module_digest != 0 && module_digest == books.module_digest;
}

Traffic pending_traffic(const Accounting& accounting) {
  Traffic t;
  t.tx = due(accounting.tx);
  t.rx = due(accounting.rx);
  return t;
}

Traffic with_closed(Traffic traffic, const ClosedSims& closed) {
  for (const SimBooks& sim : closed) {
    traffic.tx = add_saturating(traffic.tx, sim.traffic.tx);
    traffic.rx = add_saturating(traffic.rx, sim.traffic.rx);
  }
  return traffic;
}

Traffic waiting_traffic(const Accounting& accounting) {
  return with_closed(pending_traffic(accounting), accounting.closed);
}

bool change_sim(Accounting* a, const Iccid& next, uint64_t fresh_epoch) {
  Traffic pending = pending_traffic(*a);
  if (pending.total() > 0) {
    auto free = std::find_if(a->closed.begin(), a->closed.end(),
                             [](const SimBooks& sim) { return !sim.iccid[0]; });
    if (free == a->closed.end()) return false;
    *free = {a->sim, pending, a->epoch, a->seq};
  }
  a->tx = {a->tx.last, a->tx.last, 0};
  a->rx = {a->rx.last, a->rx.last, 0};
  a->carry_from = CounterRestart::kNone;
  a->sim = next;
  a->epoch = fresh_epoch;
  a->seq = 1;
  return true;
}

void close_gaps(ClosedSims* closed) {
  size_t kept = 0;
  for (const SimBooks& sim : *closed) {
    if (sim.iccid[0]) (*closed)[kept++] = sim;
  }
  while (kept < kMaxSimBooks) (*closed)[kept++] = {};
}

void accept_closed_sim(Accounting* a, int64_t now) {
  for (size_t i = 1; i < kMaxSimBooks; ++i) a->closed[i - 1] = a->closed[i];
  a->closed[kMaxSimBooks - 1] = {};
  a->last_accepted = now;
  a->outage_since = 0;
}

void accept_report(Accounting* accounting, int64_t now) {
  accounting->tx = {accounting->tx.last, accounting->tx.last, 0};
  accounting->rx = {accounting->rx.last, accounting->rx.last, 0};
  accounting->carry_from = CounterRestart::kNone;
  accounting->last_accepted = now;
  accounting->outage_since = 0;
  accounting->seq += 1;
}

std::optional<CounterSample> sample_counters(const char* iface, const char** problem) {
  std::optional<InterfaceCounters> counters = read_interface_counters(iface);
  CounterSample sample;
  sample.owner.boot_id = read_boot_id();
  // Without the boot's id the counters cannot be told from another boot's: no sample at all.
  const char* missing = !counters                  ? "the module's counters cannot be read"
                        : !sample.owner.boot_id[0] ? kNoBootId
                                                   : nullptr;
  if (problem) *problem = missing;
  if (missing) return std::nullopt;
  copy_text(sample.owner.interface.data(), sample.owner.interface.size(), iface);
  sample.owner.ifindex = counters->ifindex;
  sample.tx = counters->tx;
  sample.rx = counters->rx;
  sample.kernel_32bit = kernel_is_32bit();
  return sample;
}

const char* restart_reason(CounterRestart restart) {
  return kRestartWords[static_cast<int>(restart)].reason;
}

const char* origin_name(CounterRestart origin) {
  return kRestartWords[static_cast<int>(origin)].name;
}

void carry_origin(CounterRestart restart, const char* previous, const char* now, char* out,
                  size_t out_size) {
  if (restart == CounterRestart::kModuleChanged && previous && previous[0] && now && now[0])
    snprintf(out, out_size, "%s, the module interface before %s", previous, now);
  else
    copy_text(out, out_size, kRestartWords[static_cast<int>(restart)].origin);
}

bool format_accounting(const Accounting& a, char* out, size_t out_size) {
  return format_record(kStateFormat, &a, out, out_size);
}

bool parse_accounting(std::string_view text, Accounting* accounting, const char** problem) {
  Accounting parsed;
  int version = 0;
  *problem = parse_record(text, kStateFormat, &parsed, &version);
  if (*problem) return false;
  if (version == 1) {
    // The previous version kept no samples and no carry: the baselines were the last word.
    parsed.tx.last = parsed.tx.baseline;
    parsed.rx.last = parsed.rx.baseline;
  }
  // Books with an owner name its boot; books with none have counted nothing.
  bool owned = parsed.owner.interface[0] != '\0';
  if (parsed.tx.last < parsed.tx.baseline || parsed.rx.last < parsed.rx.baseline ||
      owned != (parsed.owner.boot_id[0] != '\0')) {
    *problem = "holds a value out of range";
    return false;
  }
  close_gaps(&parsed.closed);
  *accounting = parsed;
  return true;
}

SavedFile load_accounting(Accounting* accounting) {
  return load_saved_file(state_file.get(), "the saved state", [&](std::string_view text) {
    const char* problem = nullptr;
    parse_accounting(text, accounting, &problem);
    return problem;
  });
}

void save_accounting(const Accounting& accounting) {
  if (already_saved(accounting)) return;
  saved_known = false;
  char text[kMaxStateSize];
  const char* problem = "would be over 4 KiB";  // cannot happen with the fields' sizes
  bool formatted = format_accounting(accounting, text, sizeof(text));
  size_t size = formatted ? strlen(text) : 0;
  if (formatted && replace_private_file(state_file.get(), text, size, false, &problem)) {
    save_failure_reported = false;
    saved_books = accounting;
    saved_known = stat(state_file.get(), &saved_stamp) == 0;
    return;
  }
  // No room for a new file (a full tmpfs) or no rename: the old file's own page still takes the
  // new state, so that a restart never resumes from older books.
  const char* in_place_problem = nullptr;
  bool in_place =
      formatted && overwrite_private_file(state_file.get(), text, size, &in_place_problem);
  if (save_failure_reported) return;
  save_failure_reported = true;
  if (in_place) {
    log_failure(stderr, "Cannot replace the state in %s: %s; wrote it in place instead\n",
                state_file.get(), problem);
    return;
  }
  // Say what a restart would make of what is there now.
  const char* unusable = nullptr;
  ScopedFd older(open_private_file(state_file.get(), O_RDONLY, &unusable));
  log_failure(stderr, "Cannot save the state in %s: %s; a restart now would %s\n", state_file.get(),
              problem,
              older.get() >= 0 ? "resume from the state saved before and report again what "
                                 "was accepted since"
                               : "count afresh");
}

void remove_stale_state_files() {
  remove_stale_temporaries(state_file.get());
}

std::array<char, 32> local_time_text(int64_t unix_time) {
  std::array<char, 32> text{};
  time_t t = static_cast<time_t>(unix_time);
  struct tm local;
  if (!localtime_r(&t, &local) ||
      strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S", &local) == 0)
    snprintf(text.data(), text.size(), "%" PRId64, unix_time);
  return text;
}

void accounting_set_state_file(const char* path) {
  state_file.set(path);
  saved_known = false;
}

bool hold_kept(const Accounting& books, int64_t now, int64_t max_report_interval) {
  int64_t left = books.hold_until - now;
  return left > 0 && left <= max_report_interval;
}
