#include "inputs/module.h"

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// A router's sysfs as the modem drivers lay it out: one USB modem whose interfaces hold a tty, a
// cdc-wdm node and the network device, and a second modem beside it.
class ModuleTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string usb = "devices/platform/soc/usb1/1-1/";
    for (const char* net :
         {"1-1.2/1-1.2:1.4/net/wwan0/", "1-1.2/1-1.2:1.5/net/wwan9/", "1-1.3/1-1.3:1.4/net/wwan1/"})
      dir_.write("sys/" + usb + net + "ifindex", "5\n");
    dir_.write("sys/" + usb + "1-1.2/1-1.2:1.2/ttyUSB2/tty/ttyUSB2/dev", "188:2\n");
    dir_.write("sys/" + usb + "1-1.2/1-1.2:1.0/tty/ttyACM0/dev", "166:0\n");
    dir_.write("sys/" + usb + "1-1.2/1-1.2:1.4/usbmisc/cdc-wdm0/dev", "180:0\n");
    link("class/usbmisc/cdc-wdm0/device", usb + "1-1.2/1-1.2:1.4");
    link("class/tty/ttyUSB2/device", usb + "1-1.2/1-1.2:1.2/ttyUSB2");
    link("class/tty/ttyACM0/device", usb + "1-1.2/1-1.2:1.0");
    module_set_sysfs_root((dir_.path() + "/sys").c_str());
    config_set_directory((dir_.path() + "/config").c_str());
  }
  void TearDown() override {
    module_set_sysfs_root(nullptr);
    config_set_directory(nullptr);
  }
  void link(const std::string& name, const std::string& target) {
    std::string path = dir_.path() + "/sys/" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ASSERT_EQ(symlink((dir_.path() + "/sys/" + target).c_str(), path.c_str()), 0);
  }

  TempDir dir_;
};

TEST_F(ModuleTest, FindsTheNetworkDeviceAsNetifdWould) {
  const std::string root = dir_.path() + "/sys";
  struct Case {
    std::string options;
    std::string name, found_by, problem;
  } cases[] = {
      {"ifname 'eth1'\n\toption device '/dev/cdc-wdm0'", "eth1", "network.module.ifname", ""},
      {"device 'eth1'", "eth1", "network.module.device", ""},
      {"proto 'qmi'\n\toption device '/dev/cdc-wdm0'", "wwan0",
       "network.module, proto qmi, /dev/cdc-wdm0", ""},
      {"proto 'mbim'\n\toption device '/dev/cdc-wdm0'", "wwan0",
       "network.module, proto mbim, /dev/cdc-wdm0", ""},
      {"proto 'ncm'\n\toption device '/dev/ttyUSB2'", "wwan0",
       "network.module, proto ncm, /dev/ttyUSB2", ""},
      {"proto 'ncm'\n\toption device '/dev/ttyACM0'", "wwan0",
       "network.module, proto ncm, /dev/ttyACM0", ""},
      {"proto 'ncm'\n\toption device '/dev/cdc-wdm0'", "wwan0",
       "network.module, proto ncm, /dev/cdc-wdm0", ""},
      {"proto 'directip'\n\toption device '/dev/ttyUSB2'", "wwan0",
       "network.module, proto directip, /dev/ttyUSB2", ""},
      // Only the modem under the configured path counts, however deep its device.
      {"proto 'modemmanager'\n\toption device '/sys/devices/platform/soc/usb1/1-1/1-1.3'", "wwan1",
       "network.module, proto modemmanager, /sys/devices/platform/soc/usb1/1-1/1-1.3", ""},
      {"proto 'modemmanager'\n\toption device '/sys/devices/platform/soc/usb1/1-1/1-1.2'", "wwan0",
       "network.module, proto modemmanager, /sys/devices/platform/soc/usb1/1-1/1-1.2", ""},
      {"proto '3g'\n\toption device '/dev/ttyUSB2'", "3g-module", "network.module, proto 3g", ""},
      {"proto 'ppp'\n\toption device '/dev/ttyUSB2'", "ppp-module", "network.module, proto ppp",
       ""},
      // A node that is not there (yet): the path looked at.
      {"proto 'qmi'\n\toption device '/dev/cdc-wdm1'", "", "",
       "network.module.device '/dev/cdc-wdm1' (proto qmi): no network interface in " + root +
           "/class/usbmisc/cdc-wdm1/device/net"},
      {"proto 'directip'\n\toption device '/dev/ttyUSB7'", "", "",
       "network.module.device '/dev/ttyUSB7' (proto directip): no network interface in " + root +
           "/class/tty/ttyUSB7/device/../../*/net"},
      {"proto 'modemmanager'\n\toption device '/sys/devices/platform/soc/usb2'", "", "",
       "network.module.device '/sys/devices/platform/soc/usb2' (proto modemmanager): no network "
       "interface below /sys/devices/platform/soc/usb2"},
      {"proto 'dhcp'\n\toption device '/dev/cdc-wdm0'", "", "",
       "network.module.device '/dev/cdc-wdm0' is not a network interface"},
      {"proto 'qmi'", "", "", "network.module has neither ifname nor device"},
  };
  for (const auto& c : cases) {
    dir_.write("config/network", "config interface 'module'\n\toption " + c.options + "\n");
    ModuleInterface m = find_module_interface();
    EXPECT_EQ(m.name.data(), c.name) << c.options;
    EXPECT_EQ(m.found_by.data(), c.found_by) << c.options;
    EXPECT_EQ(m.problem.data(), c.problem) << c.options;
  }
}

}  // namespace
