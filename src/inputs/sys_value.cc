#include "inputs/sys_value.h"

#include <stdio.h>
#include <stdlib.h>

#include "common/resources.h"

void read_sys_value(const char* path, CounterText& text) {
  ScopedFile file(path, "re");
  if (!file) return;
  size_t stored = 0;
  int c;
  while (stored < text.size() - 1 && (c = getc(file.get())) != EOF && c != '\n') {
    if (c != ':') text[stored++] = static_cast<char>(c);
  }
}

std::optional<uint64_t> read_counter(const char* path) {
  CounterText text{};
  read_sys_value(path, text);
  char* end = nullptr;
  long long value = strtoll(text.data(), &end, 10);
  if (end == text.data()) return std::nullopt;
  return static_cast<uint64_t>(value);
}
