#include "report/pending.h"

#include <stddef.h>
#include <string.h>

#include "common/key_value.h"
#include "common/log.h"
#include "common/private_file.h"
#include "common/resources.h"

namespace {

PathSetting pending_path(kPendingFile);
bool write_failure_reported = false;

const SavedField kPendingFields[] = {
    {"boot_id", FieldKind::kFullBootId, 2, offsetof(PendingTraffic, boot_id)},
    {"tx_pending", FieldKind::kBytes, 2, offsetof(PendingTraffic, traffic.tx)},
    {"rx_pending", FieldKind::kBytes, 2, offsetof(PendingTraffic, traffic.rx)},
    {"written", FieldKind::kTime, 2, offsetof(PendingTraffic, written)},
    {"interface", FieldKind::kInterface, 0, offsetof(PendingTraffic, interface)},
    {"ifindex", FieldKind::kIndex, 0, offsetof(PendingTraffic, ifindex)},
    {"tx_last", FieldKind::kCount, 0, offsetof(PendingTraffic, last.tx)},
    {"rx_last", FieldKind::kCount, 0, offsetof(PendingTraffic, last.rx)},
    {"epoch", FieldKind::kEpoch, 0, offsetof(PendingTraffic, epoch)},
    {"seq", FieldKind::kCount, 0, offsetof(PendingTraffic, seq)},
    {"sim", FieldKind::kIccid, 0, offsetof(PendingTraffic, sim)},
    {"sim_closed1", FieldKind::kSimBooks, 0, offsetof(PendingTraffic, closed)},
    {"sim_closed2", FieldKind::kSimBooks, 0, offsetof(PendingTraffic, closed) + sizeof(SimBooks)},
    {"sim_closed3", FieldKind::kSimBooks, 0,
     offsetof(PendingTraffic, closed) + 2 * sizeof(SimBooks)},
    {"sim_closed4", FieldKind::kSimBooks, 0,
     offsetof(PendingTraffic, closed) + 3 * sizeof(SimBooks)},
};
const RecordFormat kPendingFormat = {
    kPendingFields, sizeof(kPendingFields) / sizeof(kPendingFields[0]), 2, kPendingVersion};

// The books go on with the file's line of reports, which its traffic belongs to, and with the
// closed SIMs it kept, unless they hold closed SIMs of their own: then the file's are carried.
void take_report_number(Accounting* books, const PendingTraffic& pending) {
  if (!books->sim[0]) books->sim = pending.sim;
  bool own = books->closed[0].iccid[0];
  for (size_t i = 0; i < kMaxSimBooks; ++i) {
    const SimBooks& sim = pending.closed[i];
    if (!own) books->closed[i] = sim;
    if (!own || !sim.iccid[0]) continue;
    books->tx.carry = add_saturating(books->tx.carry, sim.traffic.tx);
    books->rx.carry = add_saturating(books->rx.carry, sim.traffic.rx);
  }
  if (!pending.epoch) return;
  books->epoch = pending.epoch;
  books->seq = pending.seq;
}

}  // namespace

PendingTraffic pending_of(const Accounting& books, const BootId& this_boot, int64_t now) {
  PendingTraffic p;
  p.boot_id = this_boot;
  p.traffic = pending_traffic(books);
  p.written = now;
  // The books' counters are of use to this boot only.
  if (books.owner.interface[0] && same_boot(books.owner.boot_id, this_boot)) {
    p.interface = books.owner.interface;
    p.ifindex = books.owner.ifindex;
    p.last = {books.tx.last, books.rx.last};
  }
  p.epoch = books.epoch;
  p.seq = books.seq;
  p.sim = books.sim;
  p.closed = books.closed;
  return p;
}

bool format_pending(const PendingTraffic& p, char* out, size_t out_size) {
  return format_record(kPendingFormat, &p, out, out_size);
}

bool parse_pending(std::string_view text, PendingTraffic* pending, const char** problem) {
  PendingTraffic parsed;
  int version = 0;
  *problem = parse_record(text, kPendingFormat, &parsed, &version);
  // Counters to go on from need their interface, and never less than the traffic since them.
  if (!*problem && !parsed.interface[0] && (parsed.ifindex || parsed.last.total()))
    *problem = "holds a value out of range";
  if (*problem) return false;
  close_gaps(&parsed.closed);
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

bool save_pending(const PendingTraffic& pending, const char** why) {
  char text[kMaxStateSize];
  const char* problem = "would be over 4 KiB";
  bool saved = format_pending(pending, text, sizeof(text)) &&
               replace_private_file(pending_path.get(), text, strlen(text), true, &problem);
  // A file renamed into place is there, even when the directory could not be synced after.
  if (saved && !problem) write_failure_reported = false;
  if ((!saved || problem) && !write_failure_reported)
    log_failure(stderr, "Cannot keep the pending traffic in %s: %s\n", pending_path.get(), problem);
  write_failure_reported = !saved || problem;
  if (why) *why = problem;
  return saved;
}

bool kept_this_boot(const std::optional<PendingTraffic>& flash, const BootId& this_boot) {
  return flash && same_boot(flash->boot_id, this_boot);
}

bool remove_pending(const BootId& this_boot, int64_t now) {
  const char* problem = nullptr;
  bool gone = remove_private_file(pending_path.get(), true, &problem);
  if (!gone) {
    PendingTraffic nothing;
    nothing.boot_id = this_boot;
    nothing.written = now;
    char text[kMaxStateSize];
    const char* ignored = nullptr;
    if (format_pending(nothing, text, sizeof(text)) &&
        !replace_private_file(pending_path.get(), text, strlen(text), true, &ignored))
      overwrite_private_file(pending_path.get(), text, strlen(text), &ignored);
  }
  if (problem) log_failure(stderr, "Cannot remove %s: %s\n", pending_path.get(), problem);
  return gone;
}

void remove_stale_pending_files() {
  remove_stale_temporaries(pending_path.get());
}

ResumedBooks resume_books(const std::optional<Accounting>& state,
                          const std::optional<PendingTraffic>& flash, const BootId& this_boot,
                          uint64_t fresh_epoch) {
  ResumedBooks r;
  Accounting& books = r.books;
  if (state) {
    books = *state;
    r.from = ResumedBooks::From::kState;
  }
  if (flash && this_boot[0]) {
    if (!state && kept_this_boot(flash, this_boot)) {
      // The state is lost, and the file holds this boot's books as it last kept them.
      if (flash->interface[0]) {
        books.owner = {this_boot, flash->interface, flash->ifindex};
        books.tx.baseline = books.tx.last = flash->last.tx;
        books.rx.baseline = books.rx.last = flash->last.rx;
      }
      books.tx.carry = flash->traffic.tx;
      books.rx.carry = flash->traffic.rx;
      books.carry_from = CounterRestart::kKeptOnFlash;
      take_report_number(&books, *flash);
      r.from = ResumedBooks::From::kFlash;
    } else if (!kept_this_boot(flash, this_boot) &&
               !same_boot(flash->boot_id, books.pending_taken) &&
               !same_boot(flash->boot_id, books.owner.boot_id)) {
      books.tx.carry = add_saturating(books.tx.carry, flash->traffic.tx);
      books.rx.carry = add_saturating(books.rx.carry, flash->traffic.rx);
      books.pending_taken = flash->boot_id;
      if (flash->traffic.total() > 0) books.carry_from = CounterRestart::kEarlierBoot;
      take_report_number(&books, *flash);
      r.took_earlier_boot = true;
    }
  }
  if (!books.epoch) {
    books.epoch = fresh_epoch;
    books.seq = 1;
  }
  return r;
}

void pending_set_file(const char* path) {
  pending_path.set(path);
}

const char* pending_file() {
  return pending_path.get();
}
