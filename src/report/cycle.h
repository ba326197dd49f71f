// One report cycle: identity, a sample of the module's counters, the gateway gate, the traffic
// not yet accepted, figures, report body, upload; and the books at start and at stop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "report/accounting.h"
#include "report/upload.h"

// The cycle's books: baselines, last samples and carry, whose counters they are, and how the
// last cycle went. Saved to the state file after every cycle.
extern Accounting accounting;

// When a measured cycle sends its report, and when pending traffic goes to flash. Read at start.
struct ReportPolicy {
  uint64_t min_report_bytes = 0;       // below this a report waits; 0: every cycle reports
  int64_t max_report_interval = 3600;  // but never longer than this after the last accepted one
  int64_t persist_interval = 3600;     // reports failing this long: pending traffic to flash
  bool report_id = false;              // each report names its books' epoch and its number
  bool report_sim = false;             // each report names the SIM that carried its traffic
  int64_t sim_check_interval = 3600;   // the SIM asked at least this often, besides its events
};

// Sends one report body for installer_id with the TLS files and says how it went.
using ReportSender = UploadResult (*)(const char* body, const char* installer_id,
                                      const TlsFiles& tls);

constexpr size_t kLineSize = 1024;

// Runs one cycle. Every cycle samples the module interface's counters, whether or not it carries
// the default route. On a cycle whose gateway is the module interface the report is handed to
// the sender, and an accepted report moves the baselines to this cycle's counters. Skipped,
// refused, failed and deferred cycles leave the traffic for the next report.
void update_bandwidth();

// At start: takes the saved books back, adds what an earlier boot left on flash, starts
// listening for deleted links, and books a first sample. Says in a console and a system-log line
// how it goes on.
void resume_accounting();

// The running service's cycles, into the books for --status: every interval seconds, and with
// report_spread (spread) at moment seconds into each interval. Saved at once.
void keep_schedule(int64_t interval, int64_t moment, bool spread);

// At a stop: a last sample, the books saved, and whatever is not yet accepted kept on flash.
void stop_accounting();

// The socket on which the kernel tells of deleted links (-1 when there is none), and what is done
// when it has something to say: the module interface's final counters become its last sample.
int link_events_fd();
void follow_link_events();

void cycle_set_policy(const ReportPolicy& policy);

// Forgets the lines said once, so that they are said again (for tests, which run many services in
// one process).
void cycle_forget_said();

// Replaces the upload step (upload_report); nullptr restores it.
void cycle_set_sender(ReportSender sender);
