#include "report/cycle.h"

#include <ctype.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>

#include <optional>

#include "common/log.h"
#include "common/resources.h"
#include "common/signals.h"
#include "inputs/config.h"
#include "inputs/gateway.h"
#include "inputs/interface.h"
#include "inputs/link_events.h"
#include "inputs/module.h"
#include "inputs/sim.h"
#include "report/flash_policy.h"
#include "report/human_size.h"
#include "report/pending.h"
#include "report/report_body.h"
#include "report/upload.h"

Accounting accounting;

namespace {

ReportSender report_sender = upload_report;
ReportPolicy policy;

// The kernel's news of deleted links; -1 without it.
int link_events = -1;

// The SIM, with report_sim: asked at start, when the module's link goes down or up or is
// another, and when the default route comes back (sim_due), else every sim_check_interval.
bool sim_due = true;
int64_t sim_next_at = 0;  // monotonic milliseconds: when the SIM is asked again at the latest
int64_t sim_retry = 0;    // seconds before a question that read nothing is asked again
bool sim_known = false;   // the last question read an ICCID
int link_running = -1;    // the books' link as its last message told: 0 down, 1 up, -1 unknown
bool route_away = false;  // the last cycle's default route was not the module's
bool sim_full = false;    // another SIM is in, and no closed SIM's place was free for the books
InterfaceName sim_asked_for{};  // the module's device when the SIM was last asked
std::array<char, 128> sim_problem_said{};

// Lines said once, until what they say changes.
std::array<char, 432> module_said{};
const char* sample_failure_said = nullptr;
TlsProblem tls_problem_said{};

// The cycle's outcome for each ReportOutcome.
const CycleOutcome kOutcomeOfReport[] = {CycleOutcome::kAccepted, CycleOutcome::kRefused,
                                         CycleOutcome::kFailed};
static_assert(sizeof(kOutcomeOfReport) / sizeof(kOutcomeOfReport[0]) ==
                  static_cast<size_t>(ReportOutcome::kFailed) + 1,
              "one outcome for each ReportOutcome");

int64_t now_seconds() {
  return static_cast<int64_t>(time(nullptr));
}

// Records how the cycle ended and saves the books at once, so that a stop right after an
// accepted report loses as little as it can.
void finish_cycle(CycleOutcome outcome, const char* error = "") {
  accounting.last_cycle = now_seconds();
  accounting.last_outcome = outcome;
  copy_text(accounting.last_error.data(), accounting.last_error.size(), error);
  save_accounting(accounting);
}

void skip_reporting(CycleOutcome outcome) {
  log_verbose(verbose, "skip reporting\n");
  finish_cycle(outcome);
}

void say_carrying(const Traffic& carried, const char* origin) {
  announce("Carrying %" PRIu64 " bytes up and %" PRIu64 " down not yet accepted from %s",
           carried.tx, carried.rx, origin);
}

void say_restart(const Measurement& m) {
  if (m.restart == CounterRestart::kNone) return;
  const char* iface = m.next.owner.interface.data();
  if (m.carried.total() > 0) {
    char origin[96];
    carry_origin(m.restart, m.previous.data(), iface, origin, sizeof(origin));
    say_carrying(m.carried, origin);
  } else if (m.restart == CounterRestart::kModuleChanged) {
    announce("Counting %s from its counters now: %s", iface, restart_reason(m.restart));
  } else {
    announce("Counting afresh: %s", restart_reason(m.restart));
  }
}

// Books a sample (or none), saying when it is of other counters than the books'; why they are.
CounterRestart book(const std::optional<CounterSample>& sample) {
  Measurement m = measure(accounting, sample);
  say_restart(m);
  accounting = m.next;
  return m.restart;
}

// A message on the books' interface (its index and name, in this boot). Deleted, its final
// counters are its last sample, with what it carried since the cycle's. With report_sim, a link
// going down or up may be a modem re-registering with another SIM: the SIM is asked at the next
// cycle, and the counters at the down are the last sample, where the SIM's books would close (no
// traffic flows until the link is up again).
void follow_link(const LinkEvent& event) {
  const CounterOwner& owner = accounting.owner;
  if (event.ifindex != owner.ifindex || strcmp(event.name.data(), owner.interface.data()) != 0)
    return;
  if (!event.deleted) {
    if (!policy.report_sim || static_cast<int>(event.running) == link_running) return;
    link_running = event.running;
    sim_due = true;
    if (event.running) return;
  }
  sim_due = sim_due || event.deleted;
  if (!event.has_counters || !same_boot(owner.boot_id, read_boot_id())) return;
  CounterSample last;
  last.owner = owner;
  last.tx = event.tx;
  last.rx = event.rx;
  last.final = event.deleted;
  last.kernel_32bit = kernel_is_32bit();
  book(last);
  log_verbose(verbose, "%s is %s: its last counters are tx: %" PRIu64 " rx: %" PRIu64 "\n",
              owner.interface.data(), event.deleted ? "gone" : "down", accounting.tx.last,
              accounting.rx.last);
  save_accounting(accounting);
}

// Samples the module interface's counters into the books. When they are another interface's than
// the books' and that one is still there (the module switched in UCI), it is sampled once more at
// the switch, for what it carried up to it; when it is gone, the sample may be the modem back
// under another name (modem_returned, by module_digest from find_module_interface). The sample,
// or nothing when it cannot be read (then the books stay as they are, and *problem, when asked,
// says why).
std::optional<CounterSample> book_sample(const char* module, uint64_t module_digest,
                                         CounterRestart* restart = nullptr,
                                         const char** problem = nullptr) {
  follow_link_events();
  std::optional<CounterSample> sample = sample_counters(module, problem);
  std::optional<CounterSample> before;
  if (sample) sample->returned = modem_returned(accounting, *sample, module_digest, &before);
  if (before) book(before);
  CounterRestart why = book(sample);
  if (sample) accounting.module_digest = module_digest;
  if (restart) *restart = why;
  return sample;
}

// Which device the module is and how it was found, or why none is: said once, until it changes.
void say_module(const ModuleInterface& module) {
  std::array<char, sizeof(module_said)> now{};
  if (module.name[0])
    snprintf(now.data(), now.size(), "Module interface: %s (%s)", module.name.data(),
             module.found_by.data());
  else
    snprintf(now.data(), now.size(), "The module interface is not configured: %s",
             module.problem.data());
  if (strcmp(now.data(), module_said.data()) != 0) announce("%s", now.data());
  module_said = now;
}

// While reports fail, pending traffic goes to flash now and then; what is written is sampled
// afresh, the failed report's own bytes with it.
void keep_pending_during_outage(const ModuleInterface& module, int64_t now) {
  if (!flash_due(&accounting, now, policy.persist_interval)) return;
  book_sample(module.name.data(), module.module_digest);
  keep_grown(accounting, now);
}

// Whether this cycle's report may wait, and says so: only while the traffic is below
// min_report_bytes and the last accepted report is younger than max_report_interval.
bool defer_report(const Traffic& due, int64_t now) {
  if (policy.min_report_bytes == 0 || due.total() >= policy.min_report_bytes) return false;
  int64_t last = accounting.last_accepted;
  int64_t interval = policy.max_report_interval;
  int64_t latest = last > INT64_MAX - interval ? INT64_MAX : last + interval;
  if (last == 0 || now < last || now >= latest) return false;
  // The time alone when that is today, the date too when it is not.
  std::array<char, 32> at = local_time_text(latest);
  std::array<char, 32> today = local_time_text(now);
  const char* shown = strncmp(at.data(), today.data(), 11) == 0 ? at.data() + 11 : at.data();
  log_verbose(verbose,
              "Report deferred: %" PRIu64
              " bytes since the last accepted report, below "
              "min_report_bytes %" PRIu64 " (next report by %s at the latest)\n",
              due.total(), policy.min_report_bytes, shown);
  return true;
}

// The figures of this interface's counters, the carry beside them, and the same for people.
void log_figures() {
  const CounterBooks& tx = accounting.tx;
  const CounterBooks& rx = accounting.rx;
  uint64_t txdiff = tx.last - tx.baseline;
  uint64_t rxdiff = rx.last - rx.baseline;
  uint64_t total = txdiff + rxdiff;
  char line[kLineSize];
  snprintf(line, sizeof(line),
           "tx: %" PRIu64 " rx: %" PRIu64 " txdiff: %" PRIu64 " rxdiff: %" PRIu64
           " total: %" PRIu64,
           tx.last, rx.last, txdiff, rxdiff, total);
  log_verbose(verbose, "Bandwidth Calc: %s\n", line);
  log_notice("%s", line);

  // Carried traffic is reported with this interface's: the report adds the two.
  if (tx.carry || rx.carry) {
    snprintf(line, sizeof(line), "carried tx: %" PRIu64 " rx: %" PRIu64 " total: %" PRIu64,
             tx.carry, rx.carry, add_saturating(tx.carry, rx.carry));
    log_verbose(verbose, "Bandwidth Carried: %s\n", line + 8);
    log_notice("%s", line);
  }

  snprintf(line, sizeof(line), "tx: %s rx: %s txdiff: %s rxdiff: %s total: %s",
           human_size(tx.last).text, human_size(rx.last).text, human_size(txdiff).text,
           human_size(rxdiff).text, human_size(total).text);
  log_verbose(verbose, "Bandwidth Calc (H): %s\n", line);
}

// The TLS files forbid sending: said once until what is wrong changes, and the traffic waits.
void refuse_to_send(const TlsProblem& problem, const ModuleInterface& module) {
  if (strcmp(problem.data(), tls_problem_said.data()) != 0)
    log_failure(stderr, "Not sending the report: %s\n", problem.data());
  tls_problem_said = problem;
  keep_pending_during_outage(module, now_seconds());
  finish_cycle(CycleOutcome::kFailed, "the TLS files cannot be used");
}

// A 429 or 503 with Retry-After holds every report until then, at most max_report_interval
// ahead: said once when asked.
void hold_reports(const UploadResult& result, int64_t now) {
  int64_t wait = result.retry_after < policy.max_report_interval ? result.retry_after
                                                                 : policy.max_report_interval;
  if (wait <= 0) return;
  accounting.hold_until = now + wait;
  announce("The server asked to wait until %s", local_time_text(accounting.hold_until).data());
}

// Sends one report of due, on the line epoch (named when report_id is on) and for the SIM iccid
// (named when not empty). True when the server accepted it; otherwise the cycle has ended.
bool send_report(const char* serial, const char* installer, const ModuleInterface& module,
                 const Traffic& due, uint64_t epoch, uint64_t seq, const char* iccid) {
  char body[kLineSize];
  format_report_body(body, sizeof(body), serial, due.total(), due.rx, due.tx,
                     policy.report_id ? epoch : 0, seq, iccid);
  log_verbose(verbose, "Bandwidth Command: %s\n", body);
  TlsFiles tls = read_tls_files();
  TlsProblem problem{};
  if (tls_files_unusable(tls, &problem)) {
    refuse_to_send(problem, module);
    return false;
  }
  tls_problem_said = {};
  UploadResult result = report_sender(body, installer, tls);
  int64_t now = now_seconds();
  hold_reports(result, now);
  if (result.outcome == ReportOutcome::kAccepted) return true;
  if (stop_requested()) {
    // A stop cuts the report short: its traffic stays, and the stop saves the books.
    finish_cycle(CycleOutcome::kFailed, "stopped mid-report");
  } else {
    keep_pending_during_outage(module, now);
    finish_cycle(kOutcomeOfReport[static_cast<int>(result.outcome)], result.detail.data());
  }
  return false;
}

void report(const char* serial, const char* installer, const ModuleInterface& module) {
  log_figures();
  Traffic due = pending_traffic(accounting);
  bool closed_wait = accounting.closed[0].iccid[0] != '\0';
  if (!closed_wait && defer_report(due, now_seconds()))
    return finish_cycle(CycleOutcome::kDeferred);
  if (hold_kept(accounting, now_seconds(), policy.max_report_interval)) {
    log_verbose(verbose, "Report held: the server asked to wait until %s\n",
                local_time_text(accounting.hold_until).data());
    keep_pending_during_outage(module, now_seconds());
    return finish_cycle(CycleOutcome::kRefused, "the server asked to wait");
  }

  // Closed SIMs' books first, oldest first, each under its own ICCID; while one waits, no later
  // SIM's traffic is sent, so that the server sees each line of reports end before the next.
  while (accounting.closed[0].iccid[0]) {
    const SimBooks& sim = accounting.closed[0];
    if (!send_report(serial, installer, module, sim.traffic, sim.epoch, sim.seq, sim.iccid.data()))
      return;
    accept_closed_sim(&accounting, now_seconds());
    // Flash keeps what still waits, never a report the server has.
    refresh_flash(accounting, now_seconds());
    save_accounting(accounting);
    sim_due = sim_due || sim_full;
    sim_full = false;
  }

  // The report, and the baselines move on only when the server accepts it.
  if (!send_report(serial, installer, module, due, accounting.epoch, accounting.seq,
                   sim_known ? accounting.sim.data() : ""))
    return;
  int64_t now = now_seconds();
  accept_report(&accounting, now);
  finish_cycle(CycleOutcome::kAccepted);
  forget_flash(now);
}

// A new line of books: 64 random bits, never 0.
uint64_t random_epoch() {
  uint64_t epoch = 0;
  if (getrandom(&epoch, sizeof(epoch), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(epoch))) {
    ScopedFile urandom("/dev/urandom", "re");
    if (!urandom || fread(&epoch, sizeof(epoch), 1, urandom.get()) != 1) epoch = 0;
  }
  // Without the kernel's randomness, the time and the process still tell boots apart.
  if (!epoch) epoch = static_cast<uint64_t>(time(nullptr)) << 20 ^ static_cast<uint64_t>(getpid());
  return epoch ? epoch : 1;
}

// The module's device, or nothing when a stop came while netifd was asked: its answer was
// abandoned, and the built-in rules may name another device. No decision is taken from that;
// the stop samples the books' own interface instead.
std::optional<ModuleInterface> ask_module_interface() {
  ModuleInterface module = find_module_interface();
  if (stop_requested()) return std::nullopt;
  return module;
}

// Says why the SIM was not read, once until that changes; the reports go without it meanwhile.
void say_sim_problem(const SimAnswer& answer) {
  if (answer.problem[0] && strcmp(answer.problem.data(), sim_problem_said.data()) != 0)
    log_failure(stderr, "The SIM's ICCID cannot be read: %s; reports go without it\n",
                answer.problem.data());
  sim_problem_said = answer.problem;
}

// With report_sim, asks which SIM is in when that is due, or when the module is another device
// than when it was last asked (a modem replaced, or back under another name; one re-created under
// its name was told by its link's deletion). Another SIM than the books' closes them at their
// last sample (a link's down or final counters, when its message came), and the new SIM counts
// from there.
void check_sim(const ModuleInterface& module) {
  // Off, the books count no SIM: one put in meanwhile is not taken for the one before.
  if (!policy.report_sim) {
    accounting.sim = {};
    return;
  }
  follow_link_events();
  bool other = module.name[0] && strcmp(module.name.data(), sim_asked_for.data()) != 0;
  // In milliseconds: a 32-bit router has no 64-bit division.
  int64_t now = monotonic_ms();
  if (!sim_due && !other && now < sim_next_at) return;
  SimAnswer answer = read_sim_iccid();
  // A stop cut the question short: no answer to go by.
  if (stop_requested()) return;
  sim_due = false;
  copy_text(sim_asked_for.data(), sim_asked_for.size(), module.name.data());
  sim_known = answer.iccid[0] != '\0';
  // A question that read nothing (a modem still coming up at boot) is asked again at the next
  // cycle, then after 30 s, 90 s, 210 s and then every five minutes while it reads nothing.
  int64_t wait =
      sim_known || sim_retry > policy.sim_check_interval ? policy.sim_check_interval : sim_retry;
  sim_retry = sim_known ? 0 : sim_retry < 150 ? sim_retry * 2 + 30 : 300;
  sim_next_at = now + wait * 1000;
  say_sim_problem(answer);
  if (!sim_known || answer.iccid == accounting.sim) return;
  if (!accounting.sim[0]) {
    accounting.sim = answer.iccid;
    return announce("SIM: %s (%s)", answer.iccid.data(), answer.via);
  }
  Iccid before = accounting.sim;
  Traffic closed = pending_traffic(accounting);
  // With four closed SIMs waiting the books stay the old SIM's, until one is accepted.
  sim_full = !change_sim(&accounting, answer.iccid, random_epoch());
  announce("SIM %s is in (%s): %" PRIu64 " bytes up and %" PRIu64 " down %s SIM %s",
           answer.iccid.data(), answer.via, closed.tx, closed.rx,
           sim_full ? "still counted for" : "closed for", before.data());
  save_accounting(accounting);
}

}  // namespace

void cycle_set_policy(const ReportPolicy& new_policy) {
  policy = new_policy;
}

void cycle_forget_said() {
  module_said = {};
  sample_failure_said = nullptr;
  tls_problem_said = {};
  sim_problem_said = {};
  sim_due = true;
  sim_known = sim_full = route_away = false;
  link_running = -1;
  sim_asked_for = {};
  sim_retry = sim_next_at = 0;
}

void cycle_set_sender(ReportSender sender) {
  report_sender = sender ? sender : upload_report;
}

void resume_accounting() {
  std::optional<ModuleInterface> module = ask_module_interface();
  if (module) say_module(*module);
  remove_stale_state_files();
  remove_stale_pending_files();
  Accounting saved;
  SavedFile load = load_accounting(&saved);
  const std::optional<PendingTraffic>& on_flash = load_flash();
  ResumedBooks resumed =
      resume_books(load == SavedFile::kLoaded ? std::optional<Accounting>(saved) : std::nullopt,
                   on_flash, read_boot_id(), random_epoch());
  accounting = resumed.books;
  const char* why =
      load == SavedFile::kNone ? "no state saved in this boot" : "the saved state was ignored";
  if (resumed.from == ResumedBooks::From::kFlash)
    announce("Resuming from %s, written %s in this boot: %s", pending_file(),
             local_time_text(on_flash->written).data(), why);
  else if (resumed.from == ResumedBooks::From::kNothing)
    announce("Counting afresh: %s", why);
  if (resumed.took_earlier_boot && on_flash->traffic.total() > 0) {
    char origin[96];
    snprintf(origin, sizeof(origin), "an earlier boot (kept in %.64s)", pending_file());
    say_carrying(on_flash->traffic, origin);
  }

  // A module that cannot be read now leaves the books as they are, for the first cycle that can.
  link_events = open_link_events();
  CounterRestart restart = CounterRestart::kNone;
  if (module) {
    check_sim(*module);
    book_sample(module->name.data(), module->module_digest, &restart);
  }
  if (resumed.from == ResumedBooks::From::kState && restart == CounterRestart::kNone) {
    if (accounting.last_accepted == 0)
      announce("Resuming: no report accepted yet");
    else
      announce("Resuming from the report accepted at %s",
               local_time_text(accounting.last_accepted).data());
  }
  save_accounting(accounting);
}

void keep_schedule(int64_t interval, int64_t moment, bool spread) {
  accounting.interval = interval;
  accounting.moment = moment;
  accounting.spread = spread;
  save_accounting(accounting);
}

void stop_accounting() {
  // The books' own interface: a stop asks nothing of netifd, which may not answer. The digest
  // stays the books', for a modem that comes back under another name while the service is down.
  InterfaceName books = accounting.owner.interface;
  book_sample(books.data(), accounting.module_digest);
  save_accounting(accounting);
  Traffic pending = waiting_traffic(accounting);
  if (pending.total() == 0) return announce("Stopping: nothing is waiting to be reported");
  const char* problem = nullptr;
  bool kept = keep_at_stop(accounting, now_seconds(), &problem);
  announce("Stopping with %" PRIu64 " bytes up and %" PRIu64 " down not yet accepted%s%s%s%s",
           pending.tx, pending.rx, kept ? ", kept in " : "; they could not be kept in ",
           pending_file(), kept ? "" : ": ", kept ? "" : problem);
}

int link_events_fd() {
  return link_events;
}

void follow_link_events() {
  if (link_events >= 0) read_link_events(link_events, follow_link);
}

// A function of its own even where link-time optimisation would inline it into the main loop:
// scripts/bench counts the instructions inside it.
__attribute__((noinline)) void update_bandwidth() {
  // Identity, read anew each cycle so that changes take effect at once.
  ConfigField serial{}, installer{};
  config_get(serial, "easycwmp", "@device[0]", "serial_number");
  std::optional<ModuleInterface> asked = ask_module_interface();
  if (!asked) return;
  const ModuleInterface& module = *asked;
  config_get(installer, "easycwmp", "global", "host");
  log_verbose(verbose, "Serial is: %s\n", serial.data());
  log_verbose(verbose, "Installer ID: %s\n", installer.data());
  say_module(module);

  // The route first, so that the SIM is asked when it comes back to the module.
  std::optional<DefaultRoute> route = find_default_route(module.name.data());
  if (route) {
    sim_due = sim_due || (route_away && route->via_module);
    route_away = !route->via_module;
  }
  check_sim(module);
  if (stop_requested()) return;  // cut short while the SIM was asked: the stop samples

  // Every cycle samples the module's counters, on the route or not: the last sample is what a
  // modem reset or a stop is charged against.
  const char* unreadable = nullptr;
  std::optional<CounterSample> sample =
      book_sample(module.name.data(), module.module_digest, nullptr, &unreadable);

  // Report only while the module carries the default route. Without a routing table
  // nothing says the route moved, so the books stay.
  if (!route) return skip_reporting(CycleOutcome::kNoRouteTable);
  log_verbose(verbose, "Gateway: %s\n", route->gateway.data());
  log_verbose(verbose, "Module Detected: %d\n", module_detected);
  if (!route->via_module) return skip_reporting(CycleOutcome::kSkipped);

  // Counters that cannot be read (or whose boot cannot be told) fail the cycle: nothing is sent
  // and nothing changes.
  if (!sample) {
    bool no_boot = unreadable == kNoBootId;
    if (unreadable != sample_failure_said)
      log_failure(stderr, "Cannot read %s%s; the report waits\n",
                  no_boot ? "the boot id" : "the counters of ", no_boot ? "" : module.name.data());
    sample_failure_said = unreadable;
    return finish_cycle(CycleOutcome::kFailed, unreadable);
  }
  sample_failure_said = nullptr;
  report(serial.data(), installer.data(), module);
}
