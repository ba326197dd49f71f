#include "report/human_size.h"

#include <stdio.h>

HumanSize human_size(uint64_t count) {
  static const char* const kUnits[] = {"B", "KB", "MB", "GB"};
  float value = static_cast<float>(count);
  int unit = 0;
  while (value >= 1024.0f && unit < 3) {
    value *= 1.0f / 1024.0f;
    ++unit;
  }
  HumanSize size;
  snprintf(size.text, sizeof(size.text), "%.2f %s", static_cast<double>(value), kUnits[unit]);
  return size;
}
