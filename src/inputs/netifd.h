// Asking netifd, over ubus, which network device carries one of its interfaces: the `l3_device`
// that firewall3, fw4, mwan3 and /lib/functions/network.sh take too. Only where the build has
// libubus (TOLVU_UBUS); elsewhere netifd is never asked.
#pragma once

#include <array>

#include "inputs/config.h"

// netifd's l3_device for network.interface.<interface>, or, when it has none, for its dynamic
// children <interface>_4 and <interface>_6, which the cellular protocol handlers create; found_by
// then says which ("netifd, network.interface.module_4"). False when netifd cannot be asked, or
// the interface is down (has no l3_device).
#if TOLVU_WITH_UBUS
bool netifd_l3_device(const char* interface, ConfigField* device, std::array<char, 176>* found_by);
#else
inline bool netifd_l3_device(const char*, ConfigField*, std::array<char, 176>*) {
  return false;
}
#endif
