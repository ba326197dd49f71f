#include "report/cycle.h"

#include <ctype.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "common/log.h"
#include "common/resources.h"
#include "inputs/config.h"
#include "inputs/gateway.h"
#include "inputs/interface.h"
#include "report/human_size.h"
#include "report/upload.h"

Accounting accounting;

namespace {

ReportSender report_sender = upload_report;

const CycleOutcome kOutcomeOfReport[] = {CycleOutcome::kAccepted, CycleOutcome::kRefused,
                                         CycleOutcome::kFailed};

// Records how the cycle ended and saves the accounting at once, so that a stop right after an
// accepted report loses as little as it can.
void finish_cycle(CycleOutcome outcome, const char* error = "") {
  accounting.last_cycle = static_cast<int64_t>(time(nullptr));
  accounting.last_outcome = outcome;
  copy_text(accounting.last_error.data(), accounting.last_error.size(), error);
  save_accounting(accounting);
}

void skip_reporting(CycleOutcome outcome) {
  log_verbose(verbose, "skip reporting\n");
  finish_cycle(outcome);
}

// Prints a start-up line and sends it to the system log.
void announce(const char* what, const char* detail) {
  log_verbose(verbose, "%s%s\n", what, detail);
  log_notice("%s%s", what, detail);
}

}  // namespace

void cycle_set_sender(ReportSender sender) {
  report_sender = sender ? sender : upload_report;
}

void resume_accounting() {
  Accounting saved;
  StateLoad load = load_accounting(&saved);
  if (load == StateLoad::kLoaded) accounting = saved;
  ConfigField module{};
  config_get(module, "network", "module", "ifname");
  CounterOwner now = current_owner(module.data());
  const char* stale = "no state saved in this boot";
  if (load == StateLoad::kIgnored) stale = "the saved state was ignored";
  if (load == StateLoad::kLoaded) {
    stale = baselines_stale(accounting, now, read_interface_counter(module.data(), "tx_bytes"),
                            read_interface_counter(module.data(), "rx_bytes"));
  }
  if (stale) {
    count_afresh(&accounting, now);
    return announce("Counting afresh: ", stale);
  }
  if (accounting.last_accepted == 0) return announce("Resuming: no report accepted yet", "");
  announce("Resuming from the report accepted at ",
           local_time_text(accounting.last_accepted).data());
}

bool encode_form_value(const char* text, char* out, size_t out_size) {
  static const char kHex[] = "0123456789ABCDEF";
  if (out_size == 0) return false;
  size_t n = 0;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c; ++c) {
    bool plain = isalnum(*c) || *c == '-' || *c == '.' || *c == '_' || *c == '~';
    size_t need = plain ? 1 : 3;
    if (n + need >= out_size) return false;
    if (plain) {
      out[n++] = static_cast<char>(*c);
    } else {
      out[n++] = '%';
      out[n++] = kHex[*c >> 4];
      out[n++] = kHex[*c & 0xF];
    }
  }
  out[n] = '\0';
  return true;
}

bool format_report_body(char* out, size_t out_size, const char* serial, uint64_t total,
                        uint64_t rxdiff, uint64_t txdiff) {
  char encoded[3 * kConfigFieldSize];
  if (!encode_form_value(serial, encoded, sizeof(encoded))) return false;
  int n = snprintf(out, out_size, "serial=%s&bw_tot=%" PRIu64 "&bw_dn=%" PRIu64 "&bw_up=%" PRIu64,
                   encoded, total, rxdiff, txdiff);
  return n >= 0 && static_cast<size_t>(n) < out_size;
}

void update_bandwidth() {
  // Identity, read anew each cycle so that changes take effect at once.
  ConfigField serial{}, module{}, installer{};
  config_get(serial, "easycwmp", "@device[0]", "serial_number");
  config_get(module, "network", "module", "ifname");
  config_get(installer, "easycwmp", "global", "host");
  log_verbose(verbose, "Serial is: %s\n", serial.data());
  log_verbose(verbose, "Installer ID: %s\n", installer.data());

  // Report only while the module carries the default route. Without a routing table
  // nothing says the route moved, so the baselines stay.
  std::optional<InterfaceName> gateway = get_gateway();
  if (!gateway) return skip_reporting(CycleOutcome::kNoRouteTable);
  log_verbose(verbose, "Gateway: %s\n", gateway->data());
  log_verbose(verbose, "Module Detected: %d\n", module_detected);
  if (strcmp(gateway->data(), "NONE") == 0 || strcmp(gateway->data(), module.data()) != 0)
    return skip_reporting(CycleOutcome::kSkipped);

  // Counters, and the traffic since the last accepted report. The baselines count only for the
  // counters they were taken from: this interface, not re-created, in this boot.
  uint64_t tx = read_interface_counter(gateway->data(), "tx_bytes");
  uint64_t rx = read_interface_counter(gateway->data(), "rx_bytes");
  CounterOwner now = current_owner(gateway->data());
  if (const char* stale = baselines_stale(accounting, now, tx, rx)) {
    if (accounting.tx_baseline || accounting.rx_baseline) log_notice("Counting afresh: %s", stale);
    count_afresh(&accounting, now);
  }
  uint64_t txdiff = tx - accounting.tx_baseline;
  uint64_t rxdiff = rx - accounting.rx_baseline;
  uint64_t total = txdiff + rxdiff;

  // The figures line, exact to the byte.
  char line[kLineSize];
  snprintf(line, sizeof(line),
           "tx: %" PRIu64 " rx: %" PRIu64 " txdiff: %" PRIu64 " rxdiff: %" PRIu64
           " total: %" PRIu64,
           tx, rx, txdiff, rxdiff, total);
  log_verbose(verbose, "Bandwidth Calc: %s\n", line);
  log_notice("%s", line);

  // The same figures for people.
  snprintf(line, sizeof(line), "tx: %s rx: %s txdiff: %s rxdiff: %s total: %s", human_size(tx).text,
           human_size(rx).text, human_size(txdiff).text, human_size(rxdiff).text,
           human_size(total).text);
  log_verbose(verbose, "Bandwidth Calc (H): %s\n", line);

  // The report, and the baselines move on only when the server accepts it.
  format_report_body(line, sizeof(line), serial.data(), total, rxdiff, txdiff);
  log_verbose(verbose, "Bandwidth Command: %s\n", line);
  UploadResult result = report_sender(line, installer.data());
  if (result.outcome == ReportOutcome::kAccepted) {
    accounting.tx_baseline = tx;
    accounting.rx_baseline = rx;
    accounting.last_accepted = static_cast<int64_t>(time(nullptr));
  }
  finish_cycle(kOutcomeOfReport[static_cast<int>(result.outcome)], result.detail.data());
}
