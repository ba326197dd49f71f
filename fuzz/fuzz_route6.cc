// The IPv6 default-route scan on arbitrary routing-table content.
#include <string.h>

#include "common/log.h"
#include "fuzz_support.h"
#include "inputs/gateway.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  verbose = 0;
  gateway_set_route_table6(write_input("ipv6_route", data, size));
  std::optional<InterfaceName> gateway = get_gateway6();
  if (!gateway) abort();  // the table was there
  size_t length = strnlen(gateway->data(), gateway->size());
  if (length == 0 || length >= gateway->size()) abort();
  if (strncmp(gateway->data(), "vpn_vpn", 7) == 0) abort();
  return 0;
}
