#include "inputs/gateway.h"

#include <string>
#include <vector>

#include "common/log.h"
#include "test_support.h"

namespace {

const char kHeading[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string route(const std::string& iface, const std::string& destination = "00000000",
                  const std::string& flags = "0003", const std::string& metric = "0",
                  const std::string& mask = "00000000") {
  return iface + "\t" + destination + "\t0101A8C0\t" + flags + "\t0\t0\t" + metric + "\t" + mask +
         "\t0\t0\t0\n";
}

struct Scan {
  std::string gateway;  // "(none)" when there was no result
  std::string out;
};

class GatewayTest : public testing::Test {
 protected:
  void SetUp() override {
    module_detected = 0;
    verbose = 1;
    gateway_set_route_table((dir_.path() + "/route").c_str());
  }
  void TearDown() override { gateway_set_route_table(nullptr); }

  Scan scan(const std::vector<std::string>& rows, const char* module = "eth1") {
    std::string table = kHeading;
    for (const auto& row : rows) table += row;
    dir_.write("route", table);
    std::optional<InterfaceName> result;
    std::string out = capture_output([&] { result = get_gateway(module); }).first;
    return {result ? std::string(result->data()) : "(none)", out};
  }

  TempDir dir_;
};

TEST_F(GatewayTest, PrefersModuleThenWiredWanThenLastOther) {
  struct Case {
    std::vector<std::string> rows;
    const char* gateway;
    const char* out;
    const char* module = "eth1";
  } cases[] = {
      {{route("wwan0"), route("usb0")}, "usb0", "Gateways: wwan0\nGateways: usb0\n"},
      {{route("usb0"), route("eth1")}, "eth1", "Gateways: usb0\n"},
      {{route("eth1"), route("usb0")}, "eth1", ""},         // the scan stops at the module
      {{route("eth1.5")}, "eth1.5", "Gateways: eth1.5\n"},  // not the module's device
      {{route("eth0.2"), route("wwan0")}, "eth0.2", "Gateways: wwan0\n"},
      {{route("wwan0"), route("eth0.25")}, "eth0.2", "Gateways: wwan0\n"},
      {{route("vpn_vpn0")}, "NONE", ""},
      {{route("vpn_vpn0"), route("wwan0")}, "wwan0", "Gateways: wwan0\n"},
      {{route("eth1", "0000A8C0"), route("wwan0", "0001A8C0")}, "NONE", ""},
      {{}, "NONE", ""},
      // A cellular primary beside a backup: the module's route wins whatever its metric.
      {{route("wwan0"), route("eth0.2", "00000000", "0003", "20")}, "wwan0", "", "wwan0"},
      {{route("eth0.2"), route("wwan0", "00000000", "0003", "20")}, "wwan0", "", "wwan0"},
      {{route("wwan0"), route("wwan1", "00000000", "0003", "20")}, "wwan0", "", "wwan0"},
      {{route("eth0.2"), route("wwan1")}, "eth0.2", "Gateways: wwan1\n", "wwan0"},
      // The kernel's "unreachable default" (flags 0x0201) and a route that is down are none.
      {{route("wwan0"), route("*", "00000000", "0201", "9999")}, "wwan0", "", "wwan0"},
      {{route("*", "00000000", "0201", "9999")}, "NONE", "", "wwan0"},
      {{route("usb0", "00000000", "0002")}, "NONE", "", "wwan0"},
      // A wired WAN named eth1 is another route; a split default route counts.
      {{route("eth1"), route("wwan0", "00000000", "0003", "0", "00000080")},
       "wwan0",
       "Gateways: eth1\n",
       "wwan0"},
      {{route("eth1")}, "eth1", "Gateways: eth1\n", "wwan0"},
  };
  for (const auto& c : cases) {
    Scan s = scan(c.rows, c.module);
    EXPECT_EQ(s.gateway, c.gateway) << c.rows.size() << " rows, first " << c.rows[0];
    EXPECT_EQ(s.out, c.out) << c.gateway;
  }
}

// Each scan stands on its own; only the module flag outlives it.
TEST_F(GatewayTest, RemembersOnlyTheModuleFlag) {
  EXPECT_EQ(scan({route("eth0.2"), route("wwan0")}).gateway, "eth0.2");
  EXPECT_EQ(scan({route("eth1")}, "wwan0").gateway, "eth1");
  EXPECT_EQ(module_detected, 0);
  EXPECT_EQ(scan({route("wwan0")}).gateway, "wwan0");
  EXPECT_EQ(scan({route("eth1")}).gateway, "eth1");
  EXPECT_EQ(module_detected, 1);
  EXPECT_EQ(scan({route("wwan0")}).gateway, "wwan0");
  EXPECT_EQ(module_detected, 1);
}

TEST_F(GatewayTest, QuietWhenNotVerbose) {
  verbose = 0;
  Scan s = scan({route("wwan0"), route("usb0")});
  EXPECT_EQ(s.gateway, "usb0");
  EXPECT_EQ(s.out, "");
}

// Garbage rows are skipped without overflowing anything; good rows around them still count.
TEST_F(GatewayTest, SkipsMalformedRows) {
  std::string long_name(40, 'w');
  std::string long_row = "wwan1\t00000000" + std::string(2000, ' ') + "x\n";
  Scan s = scan({route(long_name), "\n", "lonely\n", "   \t \n", long_row, route("usb0", "0000"),
                 route("usb1")});
  EXPECT_EQ(s.gateway, "usb1");
  EXPECT_EQ(s.out, "Gateways: usb1\n");

  EXPECT_EQ(scan({"wwan0\t" + std::string(5000, '0')}).gateway, "NONE");
}

// /proc/net/ipv6_route: destination, its length, source, its length, next hop, metric, references,
// use, flags, interface.
std::string route6(const std::string& iface, const std::string& flags = "00000003",
                   const std::string& destination = std::string(32, '0'),
                   const std::string& length = "00", const std::string& source_length = "00") {
  return destination + " " + length + " 00000000000000000000000000000000 " + source_length +
         " fe800000000000000000000000000001 00000400 00000001 00000000 " + flags + " " + iface +
         "\n";
}

// The IPv6 table's default routes, chosen the same way; the kernel's own reject route on lo, and
// routes that are not ::/0, never count. A source-specific default route (OpenWrt's) does.
TEST_F(GatewayTest, ReadsTheIpv6TableTheSameWay) {
  gateway_set_route_table6((dir_.path() + "/ipv6_route").c_str());
  const std::string reject_on_lo = route6("lo", "00200200");
  struct Case {
    std::vector<std::string> rows;
    const char* gateway;
  } cases[] = {
      {{reject_on_lo}, "NONE"},
      {{route6("wwan0"), route6("usb0")}, "usb0"},
      {{route6("usb0"), route6("eth1"), reject_on_lo}, "eth1"},
      {{route6("eth0.2"), route6("wwan0")}, "eth0.2"},
      {{route6("vpn_vpn0")}, "NONE"},
      {{route6("wwan0", "00000002")}, "NONE"},  // not up
      {{route6("wwan0", "00000003", "20010db8000000000000000000000000", "20")}, "NONE"},
      {{route6("wwan0", "00000003", std::string(32, '0'), "00", "40")}, "wwan0"},
      {{route6("wwan0", "0000000x"), route6(std::string(20, 'w')), "wwan0 00\n", "\n"}, "NONE"},
  };
  for (const auto& c : cases) {
    std::string table;
    for (const auto& row : c.rows) table += row;
    dir_.write("ipv6_route", table);
    std::optional<InterfaceName> result;
    capture_output([&] { result = get_gateway6("eth1"); });
    ASSERT_TRUE(result.has_value());
    EXPECT_STREQ(result->data(), c.gateway) << table;
  }

  // Which carries the route, for the module wwan0: IPv4 decides; through a CLAT device when the
  // module holds the IPv6 default route; with no IPv4 default route, IPv6 decides.
  struct Route {
    std::vector<std::string> v4, v6;
    const char* gateway;
    bool via_module;
  } routes[] = {
      {{route("wwan0")}, {route6("eth0.2")}, "wwan0", true},
      {{route("eth0.2")}, {route6("wwan0")}, "eth0.2", false},
      {{}, {route6("wwan0"), reject_on_lo}, "wwan0", true},
      {{}, {route6("usb0")}, "usb0", false},
      {{}, {route6("eth0.2"), route6("wwan0")}, "wwan0", true},
      {{}, {reject_on_lo}, "NONE", false},
      {{route("464-module_6_4")}, {route6("wwan0")}, "464-module_6_4", true},
      {{route("464-module_6_4")}, {route6("usb0")}, "464-module_6_4", false},
  };
  for (const auto& r : routes) {
    scan(r.v4);
    std::string table;
    for (const auto& row : r.v6) table += row;
    dir_.write("ipv6_route", table);
    std::optional<DefaultRoute> found;
    capture_output([&] { found = find_default_route("wwan0"); });
    ASSERT_TRUE(found.has_value());
    EXPECT_STREQ(found->gateway.data(), r.gateway) << r.gateway;
    EXPECT_EQ(found->via_module, r.via_module) << r.gateway;
  }
  dir_.write("ipv6_route", "");
  gateway_set_route_table6((dir_.path() + "/missing").c_str());
  EXPECT_FALSE(get_gateway6("wwan0").has_value());  // IPv6 off: silently nothing
  gateway_set_route_table6(nullptr);
}

TEST_F(GatewayTest, UnreadableTableHasNoResult) {
  gateway_set_route_table((dir_.path() + "/missing").c_str());
  std::optional<InterfaceName> result = InterfaceName{};
  std::string out = capture_output([&] { result = get_gateway("eth1"); }).first;
  EXPECT_FALSE(result.has_value());
  EXPECT_EQ(out, "ERR: file not opened\n");
}

}  // namespace
