#include "report/flash_policy.h"

#include <string.h>

#include "inputs/interface.h"

namespace {

std::optional<PendingTraffic> on_flash;

bool keep(const Accounting& books, int64_t now, const char** problem) {
  PendingTraffic kept = pending_of(books, read_boot_id(), now);
  *problem = kNoBootId;
  if (!kept.boot_id[0] || !save_pending(kept, problem)) return false;
  on_flash = kept;
  return true;
}

// Whether the file on flash is this boot's, not an earlier boot's.
bool flash_of_this_boot() {
  return kept_this_boot(on_flash, read_boot_id());
}

}  // namespace

const std::optional<PendingTraffic>& load_flash() {
  PendingTraffic pending;
  on_flash.reset();
  if (load_pending(&pending) == SavedFile::kLoaded) on_flash = pending;
  return on_flash;
}

bool flash_due(Accounting* books, int64_t now, int64_t persist_interval) {
  if (!books->outage_since || now < books->outage_since) books->outage_since = now;
  if (now - books->outage_since < persist_interval) return false;
  if (!flash_of_this_boot()) return true;
  int64_t since_written = now - on_flash->written;
  return since_written < 0 || since_written >= persist_interval;
}

void keep_grown(const Accounting& books, int64_t now) {
  Traffic pending = waiting_traffic(books);
  if (on_flash && pending.total() <= with_closed(on_flash->traffic, on_flash->closed).total())
    return;
  const char* problem = nullptr;
  if (pending.total() > 0) keep(books, now, &problem);
}

bool keep_at_stop(const Accounting& books, int64_t now, const char** problem) {
  Traffic pending = pending_traffic(books);
  if (flash_of_this_boot() && on_flash->traffic.tx == pending.tx &&
      on_flash->traffic.rx == pending.rx && on_flash->sim == books.sim &&
      memcmp(&on_flash->closed, &books.closed, sizeof(books.closed)) == 0)
    return true;
  return keep(books, now, problem);
}

void forget_flash(int64_t now) {
  if (!on_flash) return;
  if (remove_pending(read_boot_id(), now))
    on_flash.reset();
  else
    on_flash->traffic = {};
}

void refresh_flash(const Accounting& books, int64_t now) {
  const char* problem = nullptr;
  if (on_flash) keep(books, now, &problem);
}
