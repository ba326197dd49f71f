#include <string.h>

#include "inputs/uci_lookup.h"

namespace {

void append(char* value, size_t value_size, size_t* len, const char* text, size_t n) {
  if (*len + 1 >= value_size) return;
  size_t room = value_size - 1 - *len;
  if (n > room) n = room;
  memcpy(value + *len, text, n);
  *len += n;
  value[*len] = '\0';
}

}  // namespace

void uci_join_list_item(char* value, size_t value_size, size_t* len, const char* item) {
  if (value_size == 0) return;
  if (*len > 0) append(value, value_size, len, " ", 1);
  if (!strpbrk(item, " \t\r\n")) {
    append(value, value_size, len, item, strlen(item));
    return;
  }
  append(value, value_size, len, "'", 1);
  for (const char* c = item; *c; ++c) {
    if (*c == '\'')
      append(value, value_size, len, "'\\''", 4);
    else
      append(value, value_size, len, c, 1);
  }
  append(value, value_size, len, "'", 1);
}
