#include "inputs/gateway.h"

#include <string>
#include <vector>

#include "common/log.h"
#include "test_support.h"

namespace {

const char kHeading[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string route(const std::string& iface, const std::string& destination = "00000000") {
  return iface + "\t" + destination + "\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
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

  Scan scan(const std::vector<std::string>& rows) {
    std::string table = kHeading;
    for (const auto& row : rows) table += row;
    dir_.write("route", table);
    std::optional<InterfaceName> result;
    std::string out = capture_output([&] { result = get_gateway(); }).first;
    return {result ? std::string(result->data()) : "(none)", out};
  }

  TempDir dir_;
};

TEST_F(GatewayTest, PrefersModuleThenWiredWanThenLastOther) {
  struct Case {
    std::vector<std::string> rows;
    const char* gateway;
    const char* out;
  } cases[] = {
      {{route("wwan0"), route("usb0")}, "usb0", "Gateways: wwan0\nGateways: usb0\n"},
      {{route("usb0"), route("eth1")}, "eth1", "Gateways: usb0\n"},
      {{route("eth1"), route("usb0")}, "eth1", ""},  // the scan stops at the module
      {{route("eth1.5")}, "eth1.5", ""},
      {{route("eth0.2"), route("wwan0")}, "eth0.2", "Gateways: wwan0\n"},
      {{route("wwan0"), route("eth0.25")}, "eth0.2", "Gateways: wwan0\n"},
      {{route("vpn_vpn0")}, "NONE", ""},
      {{route("vpn_vpn0"), route("wwan0")}, "wwan0", "Gateways: wwan0\n"},
      {{route("eth1", "0000A8C0"), route("wwan0", "0001A8C0")}, "NONE", ""},
      {{}, "NONE", ""},
  };
  for (const auto& c : cases) {
    Scan s = scan(c.rows);
    EXPECT_EQ(s.gateway, c.gateway) << c.rows.size() << " rows, first " << c.rows[0];
    EXPECT_EQ(s.out, c.out) << c.gateway;
  }
}

// Each scan stands on its own; only the module flag outlives it.
TEST_F(GatewayTest, RemembersOnlyTheModuleFlag) {
  EXPECT_EQ(scan({route("eth0.2"), route("wwan0")}).gateway, "eth0.2");
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

TEST_F(GatewayTest, UnreadableTableHasNoResult) {
  gateway_set_route_table((dir_.path() + "/missing").c_str());
  std::optional<InterfaceName> result = InterfaceName{};
  std::string out = capture_output([&] { result = get_gateway(); }).first;
  EXPECT_FALSE(result.has_value());
  EXPECT_EQ(out, "ERR: file not opened\n");
}

}  // namespace
