// The built-in UCI reader on arbitrary file content, looked up in plain and extended forms.
#include <string.h>

#include "fuzz_support.h"
#include "inputs/uci_lookup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  write_input("pkg", data, size);
  static const char* const kPaths[] = {
      "pkg.a.b",   "pkg.@a[0].b",   "pkg.@a[-1].b", "pkg.@[1].opt",
      "pkg.x_y.z", "pkg.@t-x[2].o", "pkg.@a[].b",   "pkg.global.host",
  };
  for (const char* path : kPaths) {
    char value[128];
    char error[256];
    memset(value, 'x', sizeof(value));
    UciLookup result = uci_lookup(scratch_dir(), path, value, sizeof(value), error, sizeof(error));
    // Whatever the file, the answers stay inside their buffers.
    if (memchr(value, '\0', sizeof(value)) == nullptr) abort();
    if (result == UciLookup::kError && memchr(error, '\0', sizeof(error)) == nullptr) abort();
    if (result != UciLookup::kFound && value[0] != '\0') abort();
  }
  return 0;
}
