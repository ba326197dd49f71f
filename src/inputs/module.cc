#include "inputs/module.h"

#include <stdio.h>

#include "inputs/interface.h"

ModuleInterface find_module_interface() {
  ModuleInterface module;
  config_get(module.name, "network", "module", "ifname");
  if (module.name[0]) return module;

  ConfigField device{};
  config_get(device, "network", "module", "device");
  if (!device[0]) {
    snprintf(module.problem.data(), module.problem.size(),
             "network.module has neither ifname nor device");
  } else if (!is_interface_name(device.data())) {
    snprintf(module.problem.data(), module.problem.size(),
             "network.module.device '%.127s' is not a network interface", device.data());
  } else {
    module.name = device;
  }
  return module;
}
