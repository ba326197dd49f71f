// Traffic not yet accepted, kept on flash so that a reboot or a power cut does not lose it: a
// small file of "key=value" lines in /etc/tolvu (the overlay), written only when there is
// something to keep, so that flash is not worn by a router whose reports are accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "inputs/interface.h"
#include "report/accounting.h"
#include "report/record.h"

constexpr const char kPendingFile[] = "/etc/tolvu/pending";
constexpr int kPendingVersion = 1;
constexpr uint64_t kMaxPendingBytes = kMaxRecordBytes;

struct PendingTraffic {
  BootId boot_id{};  // the boot it was measured in
  Traffic traffic;
  int64_t written = 0;  // Unix time
  // The counters it was measured to: the module interface, when one was sampled, and its
  // counters then. They let a start in the same boot that has lost its state go on exactly.
  InterfaceName interface {};
  long ifindex = 0;
  Traffic last;
  uint64_t epoch = 0;  // the books' line and the number of their report not yet accepted
  uint64_t seq = 0;
  Iccid sim{};  // the SIM its traffic belongs to, and the closed SIMs' books waiting before it
  ClosedSims closed{};
};

// The books' pending traffic as the file keeps it, measured in this_boot, written at now.
PendingTraffic pending_of(const Accounting& books, const BootId& this_boot, int64_t now);

bool format_pending(const PendingTraffic& pending, char* out, size_t out_size);

// False, with *problem, for anything but a file this version wrote.
bool parse_pending(std::string_view text, PendingTraffic* pending, const char** problem);

// Reads the file; a bad one (a link, another user's, over 4 KiB, not parsable) is ignored with a
// line saying why, and nothing is taken from it.
SavedFile load_pending(PendingTraffic* pending);

// Writes the file durably (a new file beside it, fsync, rename, fsync of the directory). A
// failure is reported once, until a write succeeds again. True when the new file is in place
// (even if the directory could not be synced after, which is reported too); false, with
// *problem when asked, when it is not.
bool save_pending(const PendingTraffic& pending, const char** problem = nullptr);

// Whether flash holds a file and it is this_boot's.
bool kept_this_boot(const std::optional<PendingTraffic>& flash, const BootId& this_boot);

// Removes the file, durably: its traffic is accepted. When it cannot be removed, it is made to
// hold nothing (this_boot's, written at now), so that no later boot takes it again. True when
// it is gone.
bool remove_pending(const BootId& this_boot, int64_t now);

// Removes temporary files that a write cut short left beside the file.
void remove_stale_pending_files();

// Where a start's books come from, by one rule for the start and for --status.
struct ResumedBooks {
  Accounting books;
  enum class From { kState, kFlash, kNothing } from = From::kNothing;
  bool took_earlier_boot = false;  // an earlier boot's pending traffic went into the carry
};

// The books a start goes on with, from the state in /tmp (nothing when it is missing or cannot
// be used) and the pending traffic on flash (nothing when there is none usable). The state wins,
// and takes an earlier boot's pending traffic into its carry exactly once for each boot it came
// from (never this boot's, which the state holds already). Without a state, this boot's file is
// the books as it last kept them: all pending as carry, counting on from its counters; an
// earlier boot's is carried, and the books count this boot's counters from 0. The books keep
// their epoch and report number, or take the file's with its traffic; with neither they begin a
// new line, fresh_epoch, at report 1 (0: none chosen yet).
ResumedBooks resume_books(const std::optional<Accounting>& state,
                          const std::optional<PendingTraffic>& flash, const BootId& this_boot,
                          uint64_t fresh_epoch);

// Points the file elsewhere; nullptr restores "/etc/tolvu/pending".
void pending_set_file(const char* path);
const char* pending_file();
