// The service's small files of "key=value" lines, read with views that advance and say no to
// anything that is not exactly what was written.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/log.h"
#include "common/private_file.h"

// The most a saved file may hold; anything longer is not one the service wrote.
constexpr size_t kMaxSavedFileSize = 4096;

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

// Hands each "key=value" line of text to store(key, value), which says whether it took it. False,
// with *problem, for a line that is not key=value, one store refused, or a text cut short.
template <typename Store>
bool parse_lines(std::string_view text, Store&& store, const char** problem) {
  for (std::string_view line; next_line(&text, &line, problem);) {
    std::string_view key, value;
    if (!split_key_value(line, &key, &value, problem) || !store(key, value)) return false;
  }
  return *problem == nullptr;
}

enum class SavedFile { kLoaded, kNone, kIgnored };

// Reads a file the service saved (a private file of at most 4 KiB) and parses it with
// parse(text), which gives the problem or nullptr. A bad file is kIgnored, said in one line:
// "Ignoring WHAT PATH: it PROBLEM".
template <typename Parse>
SavedFile load_saved_file(const char* path, const char* what, Parse&& parse) {
  char text[kMaxSavedFileSize + 1];
  size_t size = 0;
  const char* problem = nullptr;
  if (read_private_file(path, text, kMaxSavedFileSize, &size, &problem))
    problem = parse(std::string_view(text, size));
  if (!problem) return SavedFile::kLoaded;
  if (problem == kFileMissing) return SavedFile::kNone;
  log_failure(stderr, "Ignoring %s %s: it %s\n", what, path, problem);
  return SavedFile::kIgnored;
}

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
