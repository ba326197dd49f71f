// The report body, the one format that leaves the device: a form of the serial and the traffic.
#pragma once

#include <cstddef>
#include <cstdint>

// Percent-encodes text as a form value: every byte but A-Z a-z 0-9 - . _ ~ becomes %XX.
// Returns false when out is too small.
bool encode_form_value(const char* text, char* out, size_t out_size);

// "serial=...&bw_tot=...&bw_dn=...&bw_up=..." with the serial encoded, "&epoch=...&seq=..."
// when epoch is not 0, and "&iccid=..." when iccid is not empty; false if it does not fit.
bool format_report_body(char* out, size_t out_size, const char* serial, uint64_t total,
                        uint64_t rxdiff, uint64_t txdiff, uint64_t epoch = 0, uint64_t seq = 0,
                        const char* iccid = "");
