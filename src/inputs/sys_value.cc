#include "inputs/sys_value.h"

#include <stdio.h>

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
