// What the service remembers between cycles and across restarts: the baselines, whose counters
// they are, and how the last cycles went. Kept in /tmp (tmpfs on a router), so it outlives the
// process and is gone after a reboot, when the counters start again too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "inputs/gateway.h"
#include "inputs/interface.h"

constexpr const char kStateFile[] = "/tmp/tolvu.state";
constexpr size_t kMaxStateSize = 4096;
constexpr int kStateVersion = 1;

enum class CycleOutcome { kNone, kAccepted, kRefused, kFailed, kSkipped, kNoRouteTable };

using FailureText = std::array<char, 128>;

// One interface in one boot: the only counters a baseline can be subtracted from.
struct CounterOwner {
  BootId boot_id{};
  InterfaceName interface {};
  long ifindex = 0;
};

struct Accounting {
  CounterOwner owner;
  uint64_t tx_baseline = 0;  // the owner's counters at the last accepted report
  uint64_t rx_baseline = 0;
  int64_t last_accepted = 0;  // Unix time of the last accepted report; 0: none yet
  int64_t last_cycle = 0;     // Unix time of the last cycle's end; 0: none yet
  CycleOutcome last_outcome = CycleOutcome::kNone;
  FailureText last_error{};  // what went wrong, when the last cycle failed
};

// The owner as the kernel shows it now for the named interface.
CounterOwner current_owner(const char* iface);

// Why the baselines cannot be subtracted from these counters of owner now, or nullptr when they
// can: another boot, another interface, the interface gone or re-created (the kernel never gives
// a new interface an old index), or its counters went back.
const char* baselines_stale(const Accounting& accounting, const CounterOwner& now, uint64_t tx,
                            uint64_t rx);

// Counting from zero for owner now; the history (last report, last cycle) stays.
void count_afresh(Accounting* accounting, const CounterOwner& now);

// The state file's text: "key=value" lines. False when out is too small.
bool format_accounting(const Accounting& accounting, char* out, size_t out_size);

// Reads the state file's text; false, with *problem, when it is not one this version wrote.
bool parse_accounting(std::string_view text, Accounting* accounting, const char** problem);

enum class StateLoad { kLoaded, kNone, kIgnored };

// Reads the state file. kIgnored, with a line saying why, when it is unsafe or unreadable (a link,
// another user's, over 4 KiB, not parsable); *accounting is untouched unless kLoaded.
StateLoad load_accounting(Accounting* accounting);

// Writes the state file atomically. A failure is reported once, until a write succeeds again.
void save_accounting(const Accounting& accounting);

// The word for an outcome, as the state file and --status show it.
const char* outcome_name(CycleOutcome outcome);

// "2026-12-08 10:41:07" in local time.
std::array<char, 32> local_time_text(int64_t unix_time);

// Points the state file elsewhere; nullptr restores "/tmp/tolvu.state".
void accounting_set_state_file(const char* path);
