// The files the service reads back: the saved state in /tmp and the pending traffic on flash. Any
// text is refused or read, and what is read writes back to the same text.
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "report/accounting.h"
#include "report/pending.h"

namespace {

void check_state(std::string_view text) {
  Accounting state;
  const char* problem = nullptr;
  if (!parse_accounting(text, &state, &problem)) {
    if (!problem) abort();
    return;
  }
  if (problem) abort();
  // The books' invariant: what a counter has not had accepted never goes below zero.
  if (state.tx.last < state.tx.baseline || state.rx.last < state.rx.baseline) abort();
  char written[kMaxStateSize];
  if (!format_accounting(state, written, sizeof(written))) abort();
  Accounting again;
  if (!parse_accounting(written, &again, &problem)) abort();
  char rewritten[kMaxStateSize];
  if (!format_accounting(again, rewritten, sizeof(rewritten)) || strcmp(written, rewritten) != 0)
    abort();
}

void check_pending(std::string_view text) {
  PendingTraffic pending;
  const char* problem = nullptr;
  if (!parse_pending(text, &pending, &problem)) {
    if (!problem) abort();
    return;
  }
  // Never more traffic than a real link could carry, so that a carry cannot overflow.
  if (pending.traffic.tx > kMaxPendingBytes || pending.traffic.rx > kMaxPendingBytes) abort();
  char written[kMaxStateSize];
  if (!format_pending(pending, written, sizeof(written))) abort();
  PendingTraffic again;
  char rewritten[kMaxStateSize];
  if (!parse_pending(written, &again, &problem) ||
      !format_pending(again, rewritten, sizeof(rewritten)) || strcmp(written, rewritten) != 0)
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  check_state(text);
  check_pending(text);
  return 0;
}
