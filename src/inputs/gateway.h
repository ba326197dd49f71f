// Which interface carries the IPv4 default route, from the kernel routing table.
#pragma once

#include <array>
#include <cstddef>
#include <optional>

constexpr size_t kInterfaceNameSize = 16;  // IFNAMSIZ: 15 characters and a NUL
using InterfaceName = std::array<char, kInterfaceNameSize>;

constexpr const char kRouteTable[] = "/proc/net/route";

// Set to 1 once a default route via an "eth1..." interface is seen; never cleared.
extern int module_detected;

// Scans the routing table for default routes and names the gateway interface: an "eth1..." one
// (returned as read, at once), else "eth0.2" for any "eth0.2..." one, else the last other one,
// else "NONE". "vpn_vpn..." routes never count. No result when the table cannot be opened
// ("ERR: file not opened" on standard output).
std::optional<InterfaceName> get_gateway();

// Points get_gateway at another table; nullptr restores "/proc/net/route".
void gateway_set_route_table(const char* path);
