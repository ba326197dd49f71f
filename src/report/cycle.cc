#include "report/cycle.h"

#include <ctype.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/log.h"
#include "common/resources.h"
#include "inputs/config.h"
#include "inputs/gateway.h"
#include "inputs/sys_value.h"
#include "report/human_size.h"
#include "report/upload.h"

uint64_t tx_baseline = 0;
uint64_t rx_baseline = 0;

namespace {

ReportSender report_sender = upload_report;
PathSetting counter_directory(kCounterDirectory);

constexpr size_t kCounterPathSize = 320;  // directory, interface and file name

uint64_t read_interface_counter(const char* iface, const char* name) {
  char path[kCounterPathSize];
  snprintf(path, sizeof(path), "%s/%s/statistics/%s", counter_directory.get(), iface, name);
  return read_counter(path);
}

void skip_reporting(bool reset_baselines) {
  log_verbose(verbose, "skip reporting\n");
  if (!reset_baselines) return;
  tx_baseline = 0;
  rx_baseline = 0;
}

}  // namespace

void cycle_set_sender(ReportSender sender) {
  report_sender = sender ? sender : upload_report;
}

void cycle_set_counter_directory(const char* directory) {
  counter_directory.set(directory);
}

uint64_t counter_difference(uint64_t counter, uint64_t baseline) {
  return counter >= baseline ? counter - baseline : counter;
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
  if (!gateway) return skip_reporting(false);
  log_verbose(verbose, "Gateway: %s\n", gateway->data());
  log_verbose(verbose, "Module Detected: %d\n", module_detected);
  if (strcmp(gateway->data(), "NONE") == 0 || strcmp(gateway->data(), module.data()) != 0)
    return skip_reporting(true);

  // Counters and the traffic since the last accepted report.
  uint64_t tx = read_interface_counter(gateway->data(), "tx_bytes");
  uint64_t rx = read_interface_counter(gateway->data(), "rx_bytes");
  uint64_t txdiff = counter_difference(tx, tx_baseline);
  uint64_t rxdiff = counter_difference(rx, rx_baseline);
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
  if (report_sender(line, installer.data())) {
    tx_baseline = tx;
    rx_baseline = rx;
  }
}
