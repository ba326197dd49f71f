// Counter files: arbitrary content read and parsed as the cycle does.
#include <stdlib.h>
#include <string.h>

#include "fuzz_support.h"
#include "inputs/sys_value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* path = write_input("tx_bytes", data, size);
  CounterText text{};
  read_sys_value(path, text);
  if (text.back() != '\0') abort();
  // The stored text is the first line without colons, at most 19 characters.
  size_t stored = 0;
  for (size_t i = 0; i < size && data[i] != '\n' && stored < text.size() - 1; ++i) {
    if (data[i] == ':') continue;
    if (text[stored++] != static_cast<char>(data[i])) abort();
  }
  char* end = nullptr;
  uint64_t parsed = static_cast<uint64_t>(strtoll(text.data(), &end, 10));
  std::optional<uint64_t> counter = read_counter(path);
  if (end == text.data() ? counter.has_value() : counter != parsed) abort();
  return 0;
}
