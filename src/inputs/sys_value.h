// Reading small kernel text files such as interface byte counters.
#pragma once

#include <array>
#include <cstddef>

constexpr size_t kCounterTextSize = 20;
using CounterText = std::array<char, kCounterTextSize>;

// Reads the first line of path into text, which the caller has zeroed: colons are dropped, the
// line end is not stored, and at most 19 characters are kept. An unreadable file leaves it empty.
void read_sys_value(const char* path, CounterText& text);
