// Traffic not yet accepted, kept on flash so that a reboot or a power cut does not lose it: a
// small file of "key=value" lines in /etc/tolvu (the overlay), written only when there is
// something to keep, so that flash is not worn by a router whose reports are accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "inputs/interface.h"
#include "report/accounting.h"

constexpr const char kPendingFile[] = "/etc/tolvu/pending";
constexpr int kPendingVersion = 1;
// No real link carries this much before a report is accepted; more is a broken file.
constexpr uint64_t kMaxPendingBytes = uint64_t{1} << 50;

struct PendingTraffic {
  BootId boot_id{};  // the boot it was measured in
  Traffic traffic;
  int64_t written = 0;  // Unix time
};

bool format_pending(const PendingTraffic& pending, char* out, size_t out_size);

// False, with *problem, for anything but a file this version wrote.
bool parse_pending(std::string_view text, PendingTraffic* pending, const char** problem);

// Reads the file; a bad one (a link, another user's, over 4 KiB, not parsable) is ignored with a
// line saying why, and nothing is taken from it.
SavedFile load_pending(PendingTraffic* pending);

// Writes the file durably (a new file beside it, fsync, rename, fsync of the directory). A
// failure is reported once, until a write succeeds again.
bool save_pending(const PendingTraffic& pending);

// Removes the file, durably.
bool remove_pending();

// Removes temporary files that a write cut short left beside the file.
void remove_stale_pending_files();

// Adds pending traffic measured in another boot to the carry, exactly once for each boot it came
// from: never traffic of this boot, nor of the boot the books themselves belong to (they hold it
// already). True when it added it.
bool take_pending(Accounting* accounting, const PendingTraffic& pending, const BootId& this_boot);

// Points the file elsewhere; nullptr restores "/etc/tolvu/pending".
void pending_set_file(const char* path);
const char* pending_file();
