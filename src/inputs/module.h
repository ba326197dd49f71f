// Which network device is the cellular module's. The network configuration names it for an
// Ethernet-attached module (`option ifname`, or `option device` since OpenWrt 21.02); for the
// modems OpenWrt drives through a protocol handler (qmi, mbim, ncm, directip, modemmanager, 3g,
// ppp) it names a control device, and the network device is found as netifd finds it: asked of
// netifd over ubus where the build has libubus, else by the handlers' own sysfs and naming rules.
#pragma once

#include <array>
#include <cstdint>

#include "inputs/config.h"

struct ModuleInterface {
  ConfigField name{};                // the network device; empty when none is found
  std::array<char, 176> found_by{};  // how: "network.module, proto qmi, /dev/cdc-wdm0"
  std::array<char, 384> problem{};   // why none: "network.module has neither ...", naming the
                                     // path looked at
  // network.module's proto and device digested, when the network device is found from them (by
  // netifd or the protocol's rules); 0 when an option names it, so that a new name is always new
  // options. The books keep it: see modem_returned (report/accounting.h).
  uint32_t module_digest = 0;
};

// The module's network device, from network.module, in this order: ifname; device when it is
// an interface's name; netifd's l3_device for network.interface.module (or its module_4 and
// module_6) when built with libubus; the protocol's rules:
//   qmi, mbim        /sys/class/usbmisc/<device>/device/net/*
//   ncm              as qmi for a cdc-wdm node; ttyACM*: /sys/class/tty/<device>/device/../*/net/*;
//                    other ttys: /sys/class/tty/<device>/device/../../*/net/*
//   directip         /sys/class/tty/<device>/device/../../*/net/*
//   modemmanager     a net/* directory below the sysfs path device names
//   3g, ppp          "<proto>-module", as pppd names it
// Where several devices match, the first by name.
ModuleInterface find_module_interface();

// Points the sysfs lookups at another tree (standing for "/sys"); nullptr restores it.
void module_set_sysfs_root(const char* root);
