// One report cycle: identity, gateway gate, counters against the baselines, figures, report body.
#pragma once

#include <cstddef>
#include <cstdint>

#include "report/accounting.h"
#include "report/upload.h"

// The cycle's accounting: the baselines, whose counters they are, and how the last cycle went.
// Saved to the state file after every cycle.
extern Accounting accounting;

// Sends one report body for installer_id and says how it went.
using ReportSender = UploadResult (*)(const char* body, const char* installer_id);

constexpr size_t kLineSize = 1024;

// Runs one cycle. On a cycle whose gateway is the module interface the report is handed to the
// sender, and an accepted report moves the baselines to this cycle's counters. Skipped cycles
// leave the baselines alone: what the module carried meanwhile goes into the next report.
void update_bandwidth();

// At start: takes the saved accounting back when it still belongs to the module interface in
// this boot, and otherwise counts afresh. Says which in one console and one system-log line.
void resume_accounting();

// Replaces the upload step (upload_report); nullptr restores it.
void cycle_set_sender(ReportSender sender);

// Percent-encodes text as a form value: every byte but A-Z a-z 0-9 - . _ ~ becomes %XX.
// Returns false when out is too small.
bool encode_form_value(const char* text, char* out, size_t out_size);

// "serial=...&bw_tot=...&bw_dn=...&bw_up=..." with the serial encoded; false if it does not fit.
bool format_report_body(char* out, size_t out_size, const char* serial, uint64_t total,
                        uint64_t rxdiff, uint64_t txdiff);
