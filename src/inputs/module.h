// Which interface is the cellular module's: the network configuration names it, in the older
// `option ifname` or, since OpenWrt 21.02, `option device`.
#pragma once

#include <array>

#include "inputs/config.h"

struct ModuleInterface {
  ConfigField name{};               // empty when the configuration names none
  std::array<char, 224> problem{};  // why it names none: "network.module has neither ..."
};

// network.module.ifname when it is set; otherwise network.module.device when that names a network
// interface (not a device node such as "/dev/cdc-wdm0" or a "/sys/..." path).
ModuleInterface find_module_interface();
