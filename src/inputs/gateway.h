// Which interface carries the default route, from the kernel's routing tables.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

constexpr size_t kInterfaceNameSize = 16;  // IFNAMSIZ: 15 characters and a NUL
using InterfaceName = std::array<char, kInterfaceNameSize>;

constexpr const char kRouteTable[] = "/proc/net/route";
constexpr const char kRouteTable6[] = "/proc/net/ipv6_route";

// Set to 1 once a default route via the module's device is seen; never cleared.
extern int module_detected;

// Scans the routing table for default routes (destination 0, up, not a reject route; metrics do
// not matter) and names the gateway interface: one via module, the module's device (at once),
// else "eth0.2" for any "eth0.2..." one, else the last other one ("Gateways: X" said for each
// of those), else "NONE". "vpn_vpn..." routes never count. No result when the table cannot be
// opened ("ERR: file not opened" on standard output).
std::optional<InterfaceName> get_gateway(const char* module);

// The same scan over the IPv6 routing table's default routes (::/0 of any source). No result,
// silently, when the table cannot be opened (IPv6 is off).
std::optional<InterfaceName> get_gateway6(const char* module);

// Which interface carries the default route, and whether that is the module's device: the IPv4
// default route decides, and one through a CLAT device ("464-...", 464XLAT) counts as the
// module's when the module holds the IPv6 default route; with no IPv4 default route at all (an
// IPv6-only link), the IPv6 one decides. gateway is what carries the route ("NONE" when nothing
// does). No result when the IPv4 table cannot be read.
struct DefaultRoute {
  InterfaceName gateway{};
  bool via_module = false;
};
std::optional<DefaultRoute> find_default_route(const char* module);

// Points get_gateway (get_gateway6) at another table; nullptr restores "/proc/net/route"
// ("/proc/net/ipv6_route").
void gateway_set_route_table(const char* path);
void gateway_set_route_table6(const char* path);
