#include "common/key_value.h"

bool parse_decimal(std::string_view text, uint64_t max, uint64_t* value) {
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    // Overflow checked without a division: a 32-bit router has none for 64 bits.
    if (__builtin_mul_overflow(v, 10u, &v) ||
        __builtin_add_overflow(v, static_cast<uint64_t>(c - '0'), &v) || v > max)
      return false;
  }
  *value = v;
  return !text.empty();
}

bool all_of(std::string_view text, const char* allowed) {
  for (char c : text) {
    if (c == '\0' || !strchr(allowed, c)) return false;
  }
  return true;
}

bool next_line(std::string_view* text, std::string_view* line, const char** problem) {
  *problem = nullptr;
  if (text->empty()) return false;
  size_t end = text->find('\n');
  if (end == std::string_view::npos) {
    *problem = "is cut short";
    return false;
  }
  // Views are cut by hand: substr may throw, and nothing here links the C++ library.
  *line = std::string_view(text->data(), end);
  text->remove_prefix(end + 1);
  return true;
}

bool split_key_value(std::string_view line, std::string_view* key, std::string_view* value,
                     const char** problem) {
  size_t equals = line.find('=');
  if (equals == std::string_view::npos || equals == 0) {
    *problem = "holds a line that is not key=value";
    return false;
  }
  *key = std::string_view(line.data(), equals);
  *value = std::string_view(line.data() + equals + 1, line.size() - equals - 1);
  return true;
}
