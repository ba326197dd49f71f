#include "inputs/gateway.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/log.h"
#include "common/resources.h"

int module_detected = 0;

namespace {

PathSetting route_table(kRouteTable);
PathSetting route_table6(kRouteTable6);

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

// Whether a route's flags (hexadecimal) say it is up and not a reject route (the kernel's
// "unreachable default" rows, "*" in the IPv4 table).
bool usable_route(const char* field, size_t length) {
  constexpr unsigned kRouteUp = 0x0001, kRouteReject = 0x0200;
  unsigned flags = 0;
  for (size_t i = 0; i < length; ++i) {
    unsigned c = static_cast<unsigned char>(field[i]) | 0x20;  // lower case, and digits stay
    unsigned digit = c - '0' < 10 ? c - '0' : c - 'a' < 6 ? c - 'a' + 10 : 16;
    if (digit > 15) return false;
    flags = flags << 4 | digit;
  }
  return length > 0 && length <= 8 && (flags & (kRouteUp | kRouteReject)) == kRouteUp;
}

bool take_name(const char* field, size_t length, InterfaceName* name) {
  if (length >= kInterfaceNameSize) return false;
  memcpy(name->data(), field, length);
  (*name)[length] = '\0';
  return true;
}

// The interface of an IPv4 default-route row ("eth1  00000000  0101A8C0  0003 ..."): destination
// 0 (whatever its mask, so a split route counts too), up and not a reject route; false for any
// other row. Fields: interface, destination, gateway, flags.
bool default_route_interface(const char* row, InterfaceName* name) {
  const char* field[4];
  size_t length[4];
  for (int i = 0; i < 4; ++i) {
    if (!next_field(&row, &field[i], &length[i])) return false;
  }
  if (length[1] < 8 || strncmp(field[1], "00000000", 8) != 0) return false;
  return usable_route(field[3], length[3]) && take_name(field[0], length[0], name);
}

// The interface of an IPv6 default-route row: destination ::/0 (of any source), up and not a
// reject route (the kernel's own "::/0 reject" on lo is none). Fields: destination, its prefix
// length, source, its prefix length, next hop, metric, references, use, flags, interface.
bool default_route6_interface(const char* row, InterfaceName* name) {
  const char* field[10];
  size_t length[10];
  for (int i = 0; i < 10; ++i) {
    if (!next_field(&row, &field[i], &length[i])) return false;
  }
  if (length[0] != 32 || strspn(field[0], "0") < 32 || length[1] != 2 ||
      strncmp(field[1], "00", 2) != 0)
    return false;
  return usable_route(field[8], length[8]) && take_name(field[9], length[9], name);
}

InterfaceName name_of(const char* text) {
  InterfaceName name{};
  copy_text(name.data(), name.size(), text);
  return name;
}

// Scans a routing table's default routes: one via the module's device (returned at once), else
// "eth0.2" for any "eth0.2..." one, else the last other one, else "NONE". Nothing when the table
// cannot be opened.
std::optional<InterfaceName> choose_gateway(const char* path,
                                            bool (*default_route)(const char*, InterfaceName*),
                                            const char* module) {
  ScopedFile table(path, "re");
  if (!table) return std::nullopt;
  bool wired_wan = false;
  std::optional<InterfaceName> other;
  char row[kRowSize];
  bool usable;
  while (read_row(table.get(), row, &usable)) {
    InterfaceName name;
    if (!usable || !default_route(row, &name)) continue;
    if (strncmp(name.data(), "vpn_vpn", 7) == 0) continue;
    if (module[0] && strcmp(name.data(), module) == 0) {
      module_detected = 1;
      return name;
    }
    if (strncmp(name.data(), "eth0.2", 6) == 0) {
      wired_wan = true;
      continue;
    }
    other = name;
    log_verbose(verbose, "Gateways: %s\n", name.data());
  }
  if (wired_wan) return name_of("eth0.2");
  if (other) return *other;
  return name_of("NONE");
}

}  // namespace

void gateway_set_route_table(const char* path) {
  route_table.set(path);
}

void gateway_set_route_table6(const char* path) {
  route_table6.set(path);
}

std::optional<InterfaceName> get_gateway(const char* module) {
  std::optional<InterfaceName> gateway =
      choose_gateway(route_table.get(), default_route_interface, module);
  if (!gateway) log_failure(stdout, "%s\n", "ERR: file not opened");
  return gateway;
}

std::optional<InterfaceName> get_gateway6(const char* module) {
  return choose_gateway(route_table6.get(), default_route6_interface, module);
}

std::optional<DefaultRoute> find_default_route(const char* module) {
  std::optional<InterfaceName> gateway = get_gateway(module);
  if (!gateway) return std::nullopt;
  DefaultRoute route{*gateway, module[0] && strcmp(gateway->data(), module) == 0};
  bool none = strcmp(gateway->data(), "NONE") == 0;
  if (none || strncmp(gateway->data(), "464-", 4) == 0) {
    std::optional<InterfaceName> gateway6 = get_gateway6(module);
    route.via_module = gateway6 && module[0] && strcmp(gateway6->data(), module) == 0;
    if (none && gateway6) route.gateway = *gateway6;
  }
  return route;
}
