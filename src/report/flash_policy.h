// When traffic not yet accepted goes to flash (report/pending.h): while reports fail for long,
// and at a stop; never while they are accepted, so that flash is not worn for nothing.
#pragma once

#include <cstdint>
#include <optional>

#include "report/accounting.h"
#include "report/pending.h"

// At start: reads the file on flash. What the service knows of it from then on, kept up to date
// as it writes and removes it.
const std::optional<PendingTraffic>& load_flash();

// A report failed at now: whether the books' pending traffic is due on flash. Due once reports
// have failed for persist_interval (books->outage_since tells since when), and again at most once
// per interval while the traffic grows; a power cut then loses at most that much.
bool flash_due(Accounting* books, int64_t now, int64_t persist_interval);

// Writes the books' pending traffic when there is more of it than the file holds.
void keep_grown(const Accounting& books, int64_t now);

// At a stop: the books' pending traffic on flash, unless the file holds it already. False, with
// *problem, when it could not be kept.
bool keep_at_stop(const Accounting& books, int64_t now, const char** problem);

// A report is accepted: what the file held was in it.
void forget_flash(int64_t now);

// A closed SIM's report is accepted: a file on flash is written anew with what the books still
// hold (perhaps nothing), so that a reboot never sends that SIM's traffic again.
void refresh_flash(const Accounting& books, int64_t now);
