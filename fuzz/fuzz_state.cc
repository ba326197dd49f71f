// The saved state: any text is refused or read, and what is read writes back to the same state.
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "report/accounting.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Accounting state;
  const char* problem = nullptr;
  if (!parse_accounting(text, &state, &problem)) {
    if (!problem) abort();
    return 0;
  }
  if (problem) abort();
  char written[kMaxStateSize];
  if (!format_accounting(state, written, sizeof(written))) abort();
  Accounting again;
  if (!parse_accounting(written, &again, &problem)) abort();
  char rewritten[kMaxStateSize];
  if (!format_accounting(again, rewritten, sizeof(rewritten)) || strcmp(written, rewritten) != 0)
    abort();
  return 0;
}
