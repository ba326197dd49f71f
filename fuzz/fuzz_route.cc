// The default-route scans on arbitrary routing-table content, read as the IPv4 table and as the
// IPv6 one.
#include <string.h>

#include "common/log.h"
#include "fuzz_support.h"
#include "inputs/gateway.h"

namespace {

void check(const std::optional<InterfaceName>& gateway) {
  if (!gateway) abort();  // the table was there
  size_t length = strnlen(gateway->data(), gateway->size());
  if (length == 0 || length >= gateway->size()) abort();
  if (strncmp(gateway->data(), "vpn_vpn", 7) == 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  verbose = 0;
  gateway_set_route_table(write_input("route", data, size));
  gateway_set_route_table6(write_input("ipv6_route", data, size));
  check(get_gateway("wwan0"));
  check(get_gateway6("wwan0"));
  return 0;
}
