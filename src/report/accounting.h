// What the service remembers between cycles and across restarts: for each direction the baseline
// (the counter at the last accepted report), the last sample, and the carry (traffic measured on
// counters that are gone and not yet accepted), whose counters they are, and how the last cycles
// went. Kept in /tmp (tmpfs on a router), so it outlives the process and is gone after a reboot;
// what a reboot must not lose is kept on flash (report/pending.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/key_value.h"
#include "inputs/gateway.h"
#include "inputs/interface.h"
#include "inputs/sim.h"

constexpr const char kStateFile[] = "/tmp/tolvu.state";
constexpr size_t kMaxStateSize = kMaxSavedFileSize;
constexpr int kStateVersion = 2;
constexpr uint64_t kCounter32 = uint64_t{1} << 32;

enum class CycleOutcome { kNone, kAccepted, kRefused, kFailed, kSkipped, kNoRouteTable, kDeferred };
constexpr size_t kCycleOutcomes = static_cast<size_t>(CycleOutcome::kDeferred) + 1;

// Why counting started again on other counters, and so where carried traffic came from.
enum class CounterRestart {
  kNone,
  kReboot,          // the router restarted: every counter starts again
  kRecreated,       // the interface was re-created (a modem reset): a new index, counters from 0
  kModuleChanged,   // the module interface is another one now
  kCounterRestart,  // a counter went back (a driver reset)
  kEarlierBoot,     // pending traffic an earlier boot kept on flash
  kWrapped,         // a 32-bit counter of a 32-bit kernel went past 2^32 and on from 0
  kKeptOnFlash,     // this boot's books as the flash kept them, the state in /tmp being lost
};
constexpr size_t kCounterRestarts = static_cast<size_t>(CounterRestart::kKeptOnFlash) + 1;

using FailureText = std::array<char, 128>;

// One interface in one boot: the only counters a baseline can be subtracted from.
struct CounterOwner {
  BootId boot_id{};
  InterfaceName interface {};
  long ifindex = 0;
};

// One direction's books.
struct CounterBooks {
  uint64_t baseline = 0;  // the counter at the last accepted report
  uint64_t last = 0;      // the counter at the last sample
  uint64_t carry = 0;     // measured on earlier counters, not yet accepted
};

// Bytes one way and the other.
struct Traffic {
  uint64_t tx = 0;
  uint64_t rx = 0;
  uint64_t total() const;
};

// A SIM's books closed when another SIM took its place: its traffic not yet accepted, reported
// under its own ICCID and with its own line of reports.
struct SimBooks {
  Iccid iccid{};  // empty: no books here
  Traffic traffic;
  uint64_t epoch = 0;
  uint64_t seq = 0;
};
// Closed SIMs that may wait at once; a SIM change past them waits for room.
constexpr size_t kMaxSimBooks = 4;
using ClosedSims = std::array<SimBooks, kMaxSimBooks>;

struct Accounting {
  CounterOwner owner;  // no interface (and no boot): nothing sampled in this boot yet
  CounterBooks tx, rx;
  CounterRestart carry_from = CounterRestart::kNone;  // where the carry last grew from
  int64_t last_accepted = 0;  // Unix time of the last accepted report; 0: none yet
  int64_t last_cycle = 0;     // Unix time of the last cycle's end; 0: none yet
  CycleOutcome last_outcome = CycleOutcome::kNone;
  FailureText last_error{};  // what went wrong, when the last cycle failed
  int64_t outage_since = 0;  // the first failed or refused report since the last accepted one
  BootId pending_taken{};    // the earlier boot whose pending traffic went into the carry
  uint64_t epoch = 0;        // names this line of books to the server; 0: none chosen yet
  uint64_t seq = 0;          // the number of the report not yet accepted (the last accepted + 1)
  int64_t hold_until = 0;    // the server asked for no report before this time; 0: it did not
  // The running service's cycles, for --status: every interval seconds (0: not known), and with
  // report_spread (spread 1) at moment seconds into each interval.
  int64_t interval = 0;
  int64_t moment = 0;
  uint64_t spread = 0;
  // network.module's options digested when the books' interface was last sampled as its device
  // (ModuleInterface::module_digest; 0: unknown, or an option named it): see modem_returned.
  uint64_t module_digest = 0;
  // With report_sim: the SIM whose traffic these books count (empty: not known yet), and the
  // closed books of SIMs before it, oldest first, each to be reported before these.
  Iccid sim{};
  ClosedSims closed{};
};

inline uint64_t add_saturating(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// The module interface's counters at one moment, and whose they are.
struct CounterSample {
  CounterOwner owner;
  uint64_t tx = 0;
  uint64_t rx = 0;
  bool final = false;         // its last counters, told by the kernel as it deleted the interface
  bool kernel_32bit = false;  // a 32-bit kernel, whose drivers may keep 32-bit counters
  bool returned = false;      // the books' device came back under this name: modem_returned
};

// What a sample did to the accounting.
struct Measurement {
  Accounting next;
  Traffic due;      // what a report sends now: the carry and the traffic since the baselines
  Traffic carried;  // what this sample moved into the carry
  CounterRestart restart = CounterRestart::kNone;
  InterfaceName previous{};  // the interface counted before, when the module changed
};

// The one rule of the books, per counter. A counter below its last sample restarted: what it had
// not had accepted goes to the carry, and it counts from 0; but on a 32-bit kernel, with the same
// owner and a last sample below 2^32, it wrapped, and the traffic is sample + 2^32 - last. In a
// final sample (the interface is gone) a counter below the last sample that did not wrap, or
// reads 0, is one the kernel no longer tells, and the last sample stands. Another boot or a
// re-created interface restarts both. Another module interface hands its pending traffic to the
// carry, and the new one counts from its counters now (its earlier traffic was not the module's),
// unless it is the books' device returned under a new name, which counts from 0 as a re-created
// interface does; only books with no owner, as at a start with no state saved in this boot, count
// from 0. No sample (the counters or the boot id cannot be read) changes nothing.
Measurement measure(const Accounting& saved, const std::optional<CounterSample>& sample);

// Whether the server's hold (hold_until) still keeps reports back at now: never when it is
// further ahead than max_report_interval, as when the clock stepped back since it was asked.
bool hold_kept(const Accounting& books, int64_t now, int64_t max_report_interval);

// Whether sample, of another device than the books', is the books' modem back under a new name
// after a reset (the sample's returned, which measure counts from 0): the books' own device is
// gone, and network.module's options digest (module_digest) as they did when the books' device
// was last sampled as the module's, 0 never matching. A switch in UCI, or an old device still
// there, is a hand-over: *still_there gets the old device's sample then.
bool modem_returned(const Accounting& books, const CounterSample& sample, uint64_t module_digest,
                    std::optional<CounterSample>* still_there);

// What has not been accepted yet: the carry and the traffic since the baselines, to the last
// sample.
Traffic pending_traffic(const Accounting& accounting);

// traffic and every closed SIM's.
Traffic with_closed(Traffic traffic, const ClosedSims& closed);

// All that waits: pending_traffic and every closed SIM's.
Traffic waiting_traffic(const Accounting& accounting);

// Another SIM, next, carries the traffic from the last sample on: the books' pending traffic is
// closed under their SIM (with their epoch and report number), and they count on from the last
// sample for next, as a new line of reports (fresh_epoch, report 1). Nothing is closed when
// nothing is pending. False, changing nothing, when kMaxSimBooks closed SIMs wait already.
bool change_sim(Accounting* accounting, const Iccid& next, uint64_t fresh_epoch);

// Closes the gaps a file edited by hand may leave between closed SIMs, keeping their order.
void close_gaps(ClosedSims* closed);

// The oldest closed SIM's report was accepted at now: its books are done.
void accept_closed_sim(Accounting* accounting, int64_t now);

// The server accepted a report of the last sample: the baselines move to it, the carry is done,
// and the next report has the next number.
void accept_report(Accounting* accounting, int64_t now);

// The problem sample_counters gives when the boot id cannot be read.
extern const char kNoBootId[];

// The module interface's counters now; nothing when they cannot be read, iface names none, or
// this boot's id cannot be read (*problem then says which, when asked).
std::optional<CounterSample> sample_counters(const char* iface, const char** problem = nullptr);

// Text for a restart: the reason ("the interface was recreated") and where carried traffic came
// from ("the interface before it was recreated"); previous names the earlier module interface.
const char* restart_reason(CounterRestart restart);
void carry_origin(CounterRestart restart, const char* previous, const char* now, char* out,
                  size_t out_size);

// The state file's text: "key=value" lines. False when out is too small.
bool format_accounting(const Accounting& accounting, char* out, size_t out_size);

// Reads the state file's text (this version's, or the previous one's, which has no carry and no
// last samples); false, with *problem, when it is not one of them.
bool parse_accounting(std::string_view text, Accounting* accounting, const char** problem);

// Reads the state file. kIgnored, with a line saying why, when it is unsafe or unreadable (a link,
// another user's, over 4 KiB, not parsable); *accounting is untouched unless kLoaded.
SavedFile load_accounting(Accounting* accounting);

// Writes the state file atomically. When that fails, overwrites the file in place, so that a
// restart never resumes from books older than the last accepted report; a failure is reported
// once, with what a restart would do, until a write succeeds again.
void save_accounting(const Accounting& accounting);

// Removes temporary files that a save cut short by SIGKILL left beside the state file.
void remove_stale_state_files();

// The word for an outcome, as the state file and --status show it.
const char* outcome_name(CycleOutcome outcome);
// The word for where carried traffic came from, as the state file has it.
const char* origin_name(CounterRestart origin);

// "2026-12-08 10:41:07" in local time.
std::array<char, 32> local_time_text(int64_t unix_time);

// Points the state file elsewhere; nullptr restores "/tmp/tolvu.state".
void accounting_set_state_file(const char* path);
