// Byte counts for people: "1.50 KB", "16.00 MB".
#pragma once

#include <cstdint>

struct HumanSize {
  char text[32];
};

// The count in B, KB, MB or GB (steps of 1024) with two decimals, worked out in single precision.
HumanSize human_size(uint64_t count);
