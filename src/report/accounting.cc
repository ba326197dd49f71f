#include "report/accounting.h"

#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "common/key_value.h"
#include "common/log.h"
#include "common/private_file.h"
#include "common/resources.h"

namespace {

PathSetting state_file(kStateFile);
bool save_failure_reported = false;

const char* const kOutcomeNames[] = {"none",    "accepted",       "refused", "failed",
                                     "skipped", "no-route-table", "deferred"};
const char* const kRestartNames[] = {"none",   "reboot",          "recreated",
                                     "module", "counter-restart", "earlier-boot"};

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

bool same_text(const char* a, const char* b) {
  return strcmp(a, b) == 0;
}

// Why the books' counters and the sample's are not the same ones, or kNone when they are.
CounterRestart counters_changed(const CounterOwner& books, const CounterOwner& now) {
  if (!same_text(books.boot_id.data(), now.boot_id.data())) return CounterRestart::kReboot;
  if (!same_text(books.interface.data(), now.interface.data()))
    return CounterRestart::kModuleChanged;
  if (books.ifindex != now.ifindex) return CounterRestart::kRecreated;
  return CounterRestart::kNone;
}

template <size_t N>
int index_of(const char* const (&names)[N], std::string_view word) {
  for (size_t i = 0; i < N; ++i) {
    if (word == names[i]) return static_cast<int>(i);
  }
  return -1;
}

const char kInterfaceCharacters[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-@:+";

// The keys both versions require, and those only the current one has.
constexpr unsigned kVersion = 1, kBootIdKey = 2, kInterfaceKey = 4, kIfindex = 8, kTxBaseline = 16,
                   kRxBaseline = 32, kTxLast = 64, kRxLast = 128, kTxCarry = 256, kRxCarry = 512;
constexpr unsigned kVersion1Keys = 63;
constexpr unsigned kVersion2Keys = 1023;

enum class Stored { kNotMine, kStored, kBad };

Stored store_counter(std::string_view key, std::string_view value, Accounting* a, unsigned* seen) {
  static const struct {
    const char* key;
    CounterBooks Accounting::*books;
    uint64_t CounterBooks::*field;
    unsigned seen;
  } kFields[] = {
      {"tx_baseline", &Accounting::tx, &CounterBooks::baseline, kTxBaseline},
      {"rx_baseline", &Accounting::rx, &CounterBooks::baseline, kRxBaseline},
      {"tx_last", &Accounting::tx, &CounterBooks::last, kTxLast},
      {"rx_last", &Accounting::rx, &CounterBooks::last, kRxLast},
      {"tx_carry", &Accounting::tx, &CounterBooks::carry, kTxCarry},
      {"rx_carry", &Accounting::rx, &CounterBooks::carry, kRxCarry},
  };
  for (const auto& f : kFields) {
    if (key != f.key) continue;
    if (!parse_decimal(value, UINT64_MAX, &(a->*f.books.*f.field))) return Stored::kBad;
    *seen |= f.seen;
    return Stored::kStored;
  }
  return Stored::kNotMine;
}

// Stores one key's value; false, with *problem, when the value is not valid for the key. Keys
// this version does not know are passed over, so that a newer one's file still reads.
bool store_value(std::string_view key, std::string_view value, Accounting* a, unsigned* seen,
                 int* version, const char** problem) {
  uint64_t n = 0;
  *problem = "holds a value out of range";
  Stored counter = store_counter(key, value, a, seen);
  if (counter != Stored::kNotMine) return counter == Stored::kStored;
  if (key == "version") {
    if (!parse_decimal(value, 1000000, &n)) return false;
    *problem = "was written by another version";
    if (n != 1 && n != kStateVersion) return false;
    *version = static_cast<int>(n);
    *seen |= kVersion;
  } else if (key == "boot_id" || key == "pending_taken") {
    if (!parse_boot_id(value, key == "boot_id" ? &a->owner.boot_id : &a->pending_taken))
      return false;
    *seen |= key == "boot_id" ? kBootIdKey : 0u;
  } else if (key == "interface") {
    if (value.empty() || value.size() >= kInterfaceNameSize || !all_of(value, kInterfaceCharacters))
      return false;
    copy_view(a->owner.interface, value);
    *seen |= kInterfaceKey;
  } else if (key == "ifindex") {
    if (!parse_decimal(value, 0x7fffffff, &n)) return false;
    a->owner.ifindex = static_cast<long>(n);
    *seen |= kIfindex;
  } else if (key == "last_accepted" || key == "last_cycle" || key == "outage_since") {
    if (!parse_decimal(value, INT64_MAX, &n)) return false;
    (key == "last_accepted" ? a->last_accepted
     : key == "last_cycle"  ? a->last_cycle
                            : a->outage_since) = static_cast<int64_t>(n);
  } else if (key == "last_outcome") {
    int i = index_of(kOutcomeNames, value);
    if (i < 0) return false;
    a->last_outcome = static_cast<CycleOutcome>(i);
  } else if (key == "carry_from") {
    int i = index_of(kRestartNames, value);
    if (i < 0) return false;
    a->carry_from = static_cast<CounterRestart>(i);
  } else if (key == "last_error") {
    copy_printable(a->last_error, value);
  }
  return true;
}

}  // namespace

uint64_t Traffic::total() const {
  return add_saturating(tx, rx);
}

Measurement measure(const Accounting& saved, const std::optional<CounterSample>& sample) {
  Measurement m;
  m.next = saved;
  Accounting& a = m.next;
  if (!sample) {
    m.due = pending_traffic(a);
    return m;
  }
  if (!a.owner.interface[0]) {
    // Nothing counted in this boot yet: the counters since the boot are all the module's.
    a.tx.baseline = a.rx.baseline = 0;
  } else {
    m.restart = counters_changed(a.owner, sample->owner);
    if (m.restart == CounterRestart::kModuleChanged) {
      m.previous = a.owner.interface;
      m.carried.tx = hand_over(&a.tx, sample->tx);
      m.carried.rx = hand_over(&a.rx, sample->rx);
    } else if (m.restart != CounterRestart::kNone) {
      m.carried.tx = restart_counter(&a.tx);
      m.carried.rx = restart_counter(&a.rx);
    } else if (sample->tx < a.tx.last || sample->rx < a.rx.last) {
      // The same counters: each one that went back restarted on its own.
      m.restart = CounterRestart::kCounterRestart;
      if (sample->tx < a.tx.last) m.carried.tx = restart_counter(&a.tx);
      if (sample->rx < a.rx.last) m.carried.rx = restart_counter(&a.rx);
    }
  }
  if (m.carried.total() > 0) a.carry_from = m.restart;
  a.owner = sample->owner;
  a.tx.last = sample->tx;
  a.rx.last = sample->rx;
  m.due = pending_traffic(a);
  return m;
}

Traffic pending_traffic(const Accounting& accounting) {
  Traffic t;
  t.tx = due(accounting.tx);
  t.rx = due(accounting.rx);
  return t;
}

void accept_report(Accounting* accounting, int64_t now) {
  accounting->tx = {accounting->tx.last, accounting->tx.last, 0};
  accounting->rx = {accounting->rx.last, accounting->rx.last, 0};
  accounting->carry_from = CounterRestart::kNone;
  accounting->last_accepted = now;
  accounting->outage_since = 0;
}

std::optional<CounterSample> sample_counters(const char* iface) {
  std::optional<InterfaceCounters> counters = read_interface_counters(iface);
  if (!counters) return std::nullopt;
  CounterSample sample;
  sample.owner.boot_id = read_boot_id();
  copy_text(sample.owner.interface.data(), sample.owner.interface.size(), iface);
  sample.owner.ifindex = counters->ifindex;
  sample.tx = counters->tx;
  sample.rx = counters->rx;
  return sample;
}

const char* restart_reason(CounterRestart restart) {
  switch (restart) {
    case CounterRestart::kReboot:
      return "the router has restarted";
    case CounterRestart::kRecreated:
      return "the interface was recreated";
    case CounterRestart::kModuleChanged:
      return "the module interface has changed";
    case CounterRestart::kCounterRestart:
      return "the interface's counters restarted";
    case CounterRestart::kEarlierBoot:  // carried, never a reason to count afresh
    case CounterRestart::kNone:
      break;
  }
  return "";
}

void carry_origin(CounterRestart restart, const char* previous, const char* now, char* out,
                  size_t out_size) {
  switch (restart) {
    case CounterRestart::kReboot:
      copy_text(out, out_size, "before the router restarted");
      return;
    case CounterRestart::kRecreated:
      copy_text(out, out_size, "the interface before it was recreated");
      return;
    case CounterRestart::kModuleChanged:
      if (previous && previous[0] && now && now[0])
        snprintf(out, out_size, "%s, the module interface before %s", previous, now);
      else
        copy_text(out, out_size, "the module interface before it changed");
      return;
    case CounterRestart::kCounterRestart:
      copy_text(out, out_size, "the interface's counters before they restarted");
      return;
    case CounterRestart::kEarlierBoot:
      copy_text(out, out_size, "an earlier boot");
      return;
    case CounterRestart::kNone:
      break;
  }
  copy_text(out, out_size, "earlier counters");
}

bool format_accounting(const Accounting& a, char* out, size_t out_size) {
  FailureText error{};
  copy_printable(error, a.last_error.data());
  int n = snprintf(out, out_size,
                   "version=%d\nboot_id=%s\ninterface=%s\nifindex=%ld\n"
                   "tx_baseline=%" PRIu64 "\nrx_baseline=%" PRIu64 "\ntx_last=%" PRIu64
                   "\nrx_last=%" PRIu64 "\ntx_carry=%" PRIu64 "\nrx_carry=%" PRIu64
                   "\ncarry_from=%s\npending_taken=%s\n"
                   "last_accepted=%" PRId64 "\nlast_cycle=%" PRId64
                   "\nlast_outcome=%s\nlast_error=%s\n"
                   "outage_since=%" PRId64 "\n",
                   kStateVersion, a.owner.boot_id.data(), a.owner.interface.data(), a.owner.ifindex,
                   a.tx.baseline, a.rx.baseline, a.tx.last, a.rx.last, a.tx.carry, a.rx.carry,
                   kRestartNames[static_cast<int>(a.carry_from)], a.pending_taken.data(),
                   a.last_accepted, a.last_cycle, outcome_name(a.last_outcome), error.data(),
                   a.outage_since);
  return n >= 0 && static_cast<size_t>(n) < out_size;
}

bool parse_accounting(std::string_view text, Accounting* accounting, const char** problem) {
  Accounting parsed;
  unsigned seen = 0;
  int version = 0;
  auto store = [&](std::string_view key, std::string_view value) {
    return store_value(key, value, &parsed, &seen, &version, problem);
  };
  if (!parse_lines(text, store, problem)) return false;
  if (seen != (version == 1 ? kVersion1Keys : kVersion2Keys)) {
    *problem = "is incomplete";
    return false;
  }
  if (version == 1) {
    // The previous version kept no samples and no carry: the baselines were the last word.
    parsed.tx.last = parsed.tx.baseline;
    parsed.rx.last = parsed.rx.baseline;
  }
  if (parsed.tx.last < parsed.tx.baseline || parsed.rx.last < parsed.rx.baseline) {
    *problem = "holds a value out of range";
    return false;
  }
  *accounting = parsed;
  *problem = nullptr;
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
  char text[kMaxStateSize];
  const char* problem = "would be over 4 KiB";  // cannot happen with the fields' sizes
  bool formatted = format_accounting(accounting, text, sizeof(text));
  if (formatted && replace_private_file(state_file.get(), text, strlen(text), false, &problem)) {
    save_failure_reported = false;
    return;
  }
  // No room for a new file (a full tmpfs) or no rename: the old file's own page still takes the
  // new state, so that a restart never resumes from older books.
  const char* in_place_problem = nullptr;
  bool in_place =
      formatted && overwrite_private_file(state_file.get(), text, strlen(text), &in_place_problem);
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

const char* outcome_name(CycleOutcome outcome) {
  return kOutcomeNames[static_cast<int>(outcome)];
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
}
