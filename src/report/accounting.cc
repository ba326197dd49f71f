#include "report/accounting.h"

#include <algorithm>

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "common/log.h"
#include "common/private_file.h"
#include "common/resources.h"

namespace {

PathSetting state_file(kStateFile);
bool save_failure_reported = false;

const char* const kOutcomeNames[] = {"none",   "accepted", "refused",
                                     "failed", "skipped",  "no-route-table"};

// The whole of text as a decimal number no larger than max; false on anything else.
bool parse_number(std::string_view text, uint64_t max, uint64_t* value) {
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return !text.empty();
}

bool all_of(std::string_view text, const char* allowed) {
  for (char c : text) {
    if (!strchr(allowed, c) || c == '\0') return false;
  }
  return true;
}

template <size_t N>
void copy_view(std::array<char, N>& out, std::string_view text) {
  size_t n = text.size() < N - 1 ? text.size() : N - 1;
  memcpy(out.data(), text.data(), n);
  out[n] = '\0';
}

// Printable text for one line of the file: control characters become spaces.
template <size_t N>
void copy_printable(std::array<char, N>& out, std::string_view text) {
  copy_view(out, text);
  std::replace_if(
      out.begin(), out.end(), [](char c) { return c && static_cast<unsigned char>(c) < 0x20; },
      ' ');
}

const char kHexDigits[] = "0123456789abcdef-";
const char kInterfaceCharacters[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-@:+";

// Stores one key's value; false, with *problem, when the value is not valid for the key. Keys
// this version does not know are passed over, so that a newer one's file still reads.
bool store_value(std::string_view key, std::string_view value, Accounting* a, unsigned* seen,
                 const char** problem) {
  uint64_t n = 0;
  *problem = "holds a value out of range";
  if (key == "version") {
    if (!parse_number(value, 1000000, &n)) return false;
    *problem = "was written by another version";
    if (n != kStateVersion) return false;
    *seen |= 1;
  } else if (key == "boot_id") {
    if (value.size() >= kBootIdSize || !all_of(value, kHexDigits)) return false;
    copy_view(a->owner.boot_id, value);
    *seen |= 2;
  } else if (key == "interface") {
    if (value.empty() || value.size() >= kInterfaceNameSize || !all_of(value, kInterfaceCharacters))
      return false;
    copy_view(a->owner.interface, value);
    *seen |= 4;
  } else if (key == "ifindex") {
    if (!parse_number(value, 0x7fffffff, &n)) return false;
    a->owner.ifindex = static_cast<long>(n);
    *seen |= 8;
  } else if (key == "tx_baseline" || key == "rx_baseline") {
    if (!parse_number(value, UINT64_MAX, &n)) return false;
    (key == "tx_baseline" ? a->tx_baseline : a->rx_baseline) = n;
    *seen |= key == "tx_baseline" ? 16 : 32;
  } else if (key == "last_accepted" || key == "last_cycle") {
    if (!parse_number(value, INT64_MAX, &n)) return false;
    (key == "last_accepted" ? a->last_accepted : a->last_cycle) = static_cast<int64_t>(n);
  } else if (key == "last_outcome") {
    size_t i = 0;
    while (i < sizeof(kOutcomeNames) / sizeof(kOutcomeNames[0]) && value != kOutcomeNames[i]) ++i;
    if (i == sizeof(kOutcomeNames) / sizeof(kOutcomeNames[0])) return false;
    a->last_outcome = static_cast<CycleOutcome>(i);
  } else if (key == "last_error") {
    copy_printable(a->last_error, value);
  }
  return true;
}

}  // namespace

CounterOwner current_owner(const char* iface) {
  CounterOwner owner;
  owner.boot_id = read_boot_id();
  copy_text(owner.interface.data(), owner.interface.size(), iface);
  owner.ifindex = read_interface_index(iface);
  return owner;
}

const char* baselines_stale(const Accounting& a, const CounterOwner& now, uint64_t tx,
                            uint64_t rx) {
  if (!now.boot_id[0] || strcmp(a.owner.boot_id.data(), now.boot_id.data()) != 0)
    return "the router has restarted";
  if (strcmp(a.owner.interface.data(), now.interface.data()) != 0)
    return "the module interface has changed";
  if (now.ifindex == 0) return "the interface is not there";
  if (a.owner.ifindex != now.ifindex) return "the interface was recreated";
  if (tx < a.tx_baseline || rx < a.rx_baseline) return "the interface's counters restarted";
  return nullptr;
}

void count_afresh(Accounting* accounting, const CounterOwner& now) {
  accounting->owner = now;
  accounting->tx_baseline = 0;
  accounting->rx_baseline = 0;
}

bool format_accounting(const Accounting& a, char* out, size_t out_size) {
  FailureText error{};
  copy_printable(error, a.last_error.data());
  int n = snprintf(out, out_size,
                   "version=%d\nboot_id=%s\ninterface=%s\nifindex=%ld\n"
                   "tx_baseline=%" PRIu64 "\nrx_baseline=%" PRIu64 "\nlast_accepted=%" PRId64
                   "\nlast_cycle=%" PRId64 "\nlast_outcome=%s\nlast_error=%s\n",
                   kStateVersion, a.owner.boot_id.data(), a.owner.interface.data(), a.owner.ifindex,
                   a.tx_baseline, a.rx_baseline, a.last_accepted, a.last_cycle,
                   outcome_name(a.last_outcome), error.data());
  return n >= 0 && static_cast<size_t>(n) < out_size;
}

bool parse_accounting(std::string_view text, Accounting* accounting, const char** problem) {
  Accounting parsed;
  unsigned seen = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    // Every line ends with a line end: a file cut short mid-line never passes for a number.
    if (end == std::string_view::npos) {
      *problem = "is cut short";
      return false;
    }
    // Views are cut by hand: substr may throw, and nothing here links the C++ library.
    std::string_view line(text.data(), end);
    text.remove_prefix(end + 1);
    size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0) {
      *problem = "holds a line that is not key=value";
      return false;
    }
    std::string_view key(line.data(), equals);
    std::string_view value(line.data() + equals + 1, line.size() - equals - 1);
    if (!store_value(key, value, &parsed, &seen, problem)) return false;
  }
  if (seen != 63) {
    *problem = "is incomplete";
    return false;
  }
  *accounting = parsed;
  *problem = nullptr;
  return true;
}

namespace {

// Reads at most a byte past the limit from fd and parses it; the problem, or nullptr.
const char* read_state(int fd, Accounting* accounting) {
  char text[kMaxStateSize + 1];
  size_t size = 0;
  while (size < sizeof(text)) {
    ssize_t n = read(fd, text + size, sizeof(text) - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return "cannot be read";
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  if (size > kMaxStateSize) return "is over 4 KiB";
  const char* problem = nullptr;
  parse_accounting(std::string_view(text, size), accounting, &problem);
  return problem;
}

}  // namespace

StateLoad load_accounting(Accounting* accounting) {
  const char* problem = nullptr;
  ScopedFd fd(open_private_file(state_file.get(), O_RDONLY, &problem));
  if (fd.get() < 0 && problem == kFileMissing) return StateLoad::kNone;
  if (fd.get() >= 0) problem = read_state(fd.get(), accounting);
  if (!problem) return StateLoad::kLoaded;
  log_failure(stderr, "Ignoring the saved state %s: it %s\n", state_file.get(), problem);
  return StateLoad::kIgnored;
}

void save_accounting(const Accounting& accounting) {
  char text[kMaxStateSize];
  const char* problem = "would be over 4 KiB";
  if (format_accounting(accounting, text, sizeof(text)) &&
      replace_private_file(state_file.get(), text, strlen(text), &problem)) {
    save_failure_reported = false;
    return;
  }
  if (save_failure_reported) return;
  save_failure_reported = true;
  log_failure(stderr, "Cannot save the state in %s: %s\n", state_file.get(), problem);
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
