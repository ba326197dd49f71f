#include "inputs/gateway.h"

#include <stdio.h>
#include <string.h>

#include "common/log.h"
#include "common/resources.h"

int module_detected = 0;

namespace {

PathSetting route_table(kRouteTable);

// Rows of /proc/net/route are 128 bytes; anything much longer is not a route row.
constexpr size_t kRowSize = 512;

// Splits off the next white-space separated field; false when there is none.
bool next_field(const char** cursor, const char** field, size_t* length) {
  const char* p = *cursor;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') ++p;
  if (!*p) return false;
  *field = p;
  while (*p && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r') ++p;
  *length = static_cast<size_t>(p - *field);
  *cursor = p;
  return true;
}

// Reads one row; false at the end of the table. *usable is false for rows too long to be routes,
// which are consumed whole and skipped.
bool read_row(FILE* file, char (&row)[kRowSize], bool* usable) {
  if (!fgets(row, sizeof(row), file)) return false;
  *usable = true;
  size_t length = strlen(row);
  if (length == sizeof(row) - 1 && row[length - 1] != '\n') {
    *usable = false;
    int c;
    while ((c = getc(file)) != EOF && c != '\n') {
    }
  }
  return true;
}

// The interface of a default-route row, or false for any other row.
bool default_route_interface(const char* row, InterfaceName* name) {
  const char *iface, *destination;
  size_t iface_length, destination_length;
  if (!next_field(&row, &iface, &iface_length)) return false;
  if (!next_field(&row, &destination, &destination_length)) return false;
  if (iface_length >= kInterfaceNameSize) return false;
  if (destination_length < 8 || strncmp(destination, "00000000", 8) != 0) return false;
  memcpy(name->data(), iface, iface_length);
  (*name)[iface_length] = '\0';
  return true;
}

InterfaceName name_of(const char* text) {
  InterfaceName name{};
  copy_text(name.data(), name.size(), text);
  return name;
}

}  // namespace

void gateway_set_route_table(const char* path) {
  route_table.set(path);
}

std::optional<InterfaceName> get_gateway() {
  ScopedFile table(route_table.get(), "re");
  if (!table) {
    log_failure(stdout, "%s\n", "ERR: file not opened");
    return std::nullopt;
  }

  bool wired_wan = false;
  std::optional<InterfaceName> other;
  char row[kRowSize];
  bool usable;
  while (read_row(table.get(), row, &usable)) {
    InterfaceName name;
    if (!usable || !default_route_interface(row, &name)) continue;
    if (strncmp(name.data(), "vpn_vpn", 7) == 0) continue;
    if (strncmp(name.data(), "eth0.2", 6) == 0) {
      wired_wan = true;
      continue;
    }
    if (strncmp(name.data(), "eth1", 4) == 0) {
      module_detected = 1;
      return name;
    }
    other = name;
    log_verbose(verbose, "Gateways: %s\n", name.data());
  }

  if (wired_wan) return name_of("eth0.2");
  if (other) return other;
  return name_of("NONE");
}
