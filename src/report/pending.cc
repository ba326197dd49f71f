#include "report/pending.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "common/key_value.h"
#include "common/log.h"
#include "common/private_file.h"
#include "common/resources.h"

namespace {

PathSetting pending_path(kPendingFile);
bool write_failure_reported = false;

bool store_value(std::string_view key, std::string_view value, PendingTraffic* p, unsigned* seen,
                 const char** problem) {
  uint64_t n = 0;
  *problem = "holds a value out of range";
  if (key == "version") {
    if (!parse_decimal(value, 1000000, &n)) return false;
    *problem = "was written by another version";
    if (n != kPendingVersion) return false;
    *seen |= 1;
  } else if (key == "boot_id") {
    if (value.size() != kBootIdSize - 1 || !parse_boot_id(value, &p->boot_id)) return false;
    *seen |= 2;
  } else if (key == "tx_pending" || key == "rx_pending") {
    if (!parse_decimal(value, kMaxPendingBytes, &n)) return false;
    (key == "tx_pending" ? p->traffic.tx : p->traffic.rx) = n;
    *seen |= key == "tx_pending" ? 4 : 8;
  } else if (key == "written") {
    if (!parse_decimal(value, INT64_MAX, &n)) return false;
    p->written = static_cast<int64_t>(n);
    *seen |= 16;
  }
  return true;
}

}  // namespace

bool format_pending(const PendingTraffic& p, char* out, size_t out_size) {
  int n = snprintf(out, out_size,
                   "version=%d\nboot_id=%s\ntx_pending=%" PRIu64 "\nrx_pending=%" PRIu64
                   "\nwritten=%" PRId64 "\n",
                   kPendingVersion, p.boot_id.data(), p.traffic.tx, p.traffic.rx, p.written);
  return n >= 0 && static_cast<size_t>(n) < out_size;
}

bool parse_pending(std::string_view text, PendingTraffic* pending, const char** problem) {
  PendingTraffic parsed;
  unsigned seen = 0;
  auto store = [&](std::string_view key, std::string_view value) {
    return store_value(key, value, &parsed, &seen, problem);
  };
  if (!parse_lines(text, store, problem)) return false;
  if (seen != 31) {
    *problem = "is incomplete";
    return false;
  }
  *pending = parsed;
  return true;
}

SavedFile load_pending(PendingTraffic* pending) {
  return load_saved_file(pending_path.get(), "the pending traffic in", [&](std::string_view text) {
    const char* problem = nullptr;
    parse_pending(text, pending, &problem);
    return problem;
  });
}

bool save_pending(const PendingTraffic& pending) {
  char text[kMaxStateSize];
  const char* problem = "would be over 4 KiB";
  if (format_pending(pending, text, sizeof(text)) &&
      replace_private_file(pending_path.get(), text, strlen(text), true, &problem)) {
    write_failure_reported = false;
    return true;
  }
  if (!write_failure_reported)
    log_failure(stderr, "Cannot keep the pending traffic in %s: %s\n", pending_path.get(), problem);
  write_failure_reported = true;
  return false;
}

bool remove_pending() {
  const char* problem = nullptr;
  if (remove_private_file(pending_path.get(), true, &problem)) return true;
  log_failure(stderr, "Cannot remove %s: %s\n", pending_path.get(), problem);
  return false;
}

void remove_stale_pending_files() {
  remove_stale_temporaries(pending_path.get());
}

bool take_pending(Accounting* accounting, const PendingTraffic& pending, const BootId& this_boot) {
  const char* boot = pending.boot_id.data();
  if (!this_boot[0] || strcmp(boot, this_boot.data()) == 0 ||
      strcmp(boot, accounting->pending_taken.data()) == 0 ||
      strcmp(boot, accounting->owner.boot_id.data()) == 0)
    return false;
  accounting->tx.carry = add_saturating(accounting->tx.carry, pending.traffic.tx);
  accounting->rx.carry = add_saturating(accounting->rx.carry, pending.traffic.rx);
  accounting->pending_taken = pending.boot_id;
  if (pending.traffic.total() > 0) accounting->carry_from = CounterRestart::kEarlierBoot;
  return true;
}

void pending_set_file(const char* path) {
  pending_path.set(path);
}

const char* pending_file() {
  return pending_path.get();
}
