// The service's small files of "key=value" lines, read with views that advance and say no to
// anything that is not exactly what was written.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// The whole of text as a decimal number no larger than max; false on anything else.
bool parse_decimal(std::string_view text, uint64_t max, uint64_t* value);

// Whether every character of text is one of allowed (never a NUL).
bool all_of(std::string_view text, const char* allowed);

// Takes the next line off *text into *line. False at the end, or (with *problem set) for a last
// line without its line end: a file cut short mid-line never passes for a number. *problem is
// nullptr after a clean end.
bool next_line(std::string_view* text, std::string_view* line, const char** problem);

// Splits "key=value"; false, with *problem, for a line that is not one.
bool split_key_value(std::string_view line, std::string_view* key, std::string_view* value,
                     const char** problem);

// Copies text into a fixed buffer, cut to fit, NUL-terminated.
template <size_t N>
void copy_view(std::array<char, N>& out, std::string_view text) {
  size_t n = text.size() < N - 1 ? text.size() : N - 1;
  memcpy(out.data(), text.data(), n);
  out[n] = '\0';
}

// The same, with control characters made spaces: one line of a file stays one line.
template <size_t N>
void copy_printable(std::array<char, N>& out, std::string_view text) {
  copy_view(out, text);
  std::replace_if(
      out.begin(), out.end(), [](char c) { return c && static_cast<unsigned char>(c) < 0x20; },
      ' ');
}
