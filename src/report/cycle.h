// One report cycle: identity, gateway gate, counters against the baselines, figures, report body.
#pragma once

#include <cstddef>
#include <cstdint>

// The counters as they stood at the last accepted report; 0 at start and after a skipped cycle.
extern uint64_t tx_baseline;
extern uint64_t rx_baseline;

// Sends one report body for installer_id; true when the server accepted it.
using ReportSender = bool (*)(const char* body, const char* installer_id);

constexpr const char kCounterDirectory[] = "/sys/class/net";
constexpr size_t kLineSize = 1024;

// Runs one cycle. On a cycle whose gateway is the module interface the report is handed to the
// sender, and an accepted report moves the baselines to this cycle's counters.
void update_bandwidth();

// Replaces the upload step (upload_report); nullptr restores it.
void cycle_set_sender(ReportSender sender);

// Points the counter reads at another directory; nullptr restores "/sys/class/net".
void cycle_set_counter_directory(const char* directory);

// Bytes since the baseline. A counter below its baseline was restarted (the interface came back
// or its counters were reset), so all of it is new.
uint64_t counter_difference(uint64_t counter, uint64_t baseline);

// Percent-encodes text as a form value: every byte but A-Z a-z 0-9 - . _ ~ becomes %XX.
// Returns false when out is too small.
bool encode_form_value(const char* text, char* out, size_t out_size);

// "serial=...&bw_tot=...&bw_dn=...&bw_up=..." with the serial encoded; false if it does not fit.
bool format_report_body(char* out, size_t out_size, const char* serial, uint64_t total,
                        uint64_t rxdiff, uint64_t txdiff);
