// Reading small kernel text files such as interface byte counters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

constexpr size_t kCounterTextSize = 20;
using CounterText = std::array<char, kCounterTextSize>;

// Reads the first line of path into text, which the caller has zeroed: colons are dropped, the
// line end is not stored, and at most 19 characters are kept. An unreadable file leaves it empty.
void read_sys_value(const char* path, CounterText& text);

// Reads a byte counter: the first line as read_sys_value gives it, parsed in base 10 as a signed
// 64-bit number (past the range: the largest value), used as unsigned. Nothing when the file
// cannot be read or its line does not start with a number: a counter never reads as 0 by default.
std::optional<uint64_t> read_counter(const char* path);
