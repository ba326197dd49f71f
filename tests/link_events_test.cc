#include "inputs/link_events.h"

#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "test_support.h"

namespace {

std::vector<LinkEvent> deletions;

void record(const LinkEvent& event) {
  deletions.push_back(event);
}

void append(std::vector<unsigned char>* out, const void* data, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  out->insert(out->end(), p, p + size);
  out->resize(NLMSG_ALIGN(out->size()));
}

void append_attribute(std::vector<unsigned char>* out, unsigned short type, const void* data,
                      size_t size) {
  nlattr attribute = {static_cast<unsigned short>(NLA_HDRLEN + size), type};
  append(out, &attribute, sizeof(attribute));
  append(out, data, size);
}

// An RTM_DELLINK for wwan0 whose IFLA_STATS64 holds the first stats_size bytes of its counters.
std::vector<unsigned char> deletion_message(size_t stats_size) {
  std::vector<unsigned char> message(NLMSG_HDRLEN);
  ifinfomsg info = {};
  info.ifi_index = 7;
  append(&message, &info, sizeof(info));
  append_attribute(&message, IFLA_IFNAME, "wwan0", 6);
  rtnl_link_stats64 stats = {};
  stats.tx_bytes = 1296;
  stats.rx_bytes = 4000;
  std::vector<unsigned char> bytes(stats_size, 0);
  memcpy(bytes.data(), &stats, std::min(stats_size, sizeof(stats)));
  append_attribute(&message, IFLA_STATS64, bytes.data(), bytes.size());
  nlmsghdr header = {};
  header.nlmsg_len = static_cast<__u32>(message.size());
  header.nlmsg_type = RTM_DELLINK;
  memcpy(message.data(), &header, sizeof(header));
  return message;
}

// Kernels before 5.19 send a 192-byte struct, later ones 200: the byte counters are in both. A
// struct too short for them is a message without counters.
TEST(LinkEventsTest, ReadsTheCountersOfAnyKernelsStats) {
  struct Case {
    size_t stats_size;
    bool has_counters;
  } cases[] = {{sizeof(rtnl_link_stats64), true}, {192, true}, {32, true}, {24, false}};
  for (const auto& c : cases) {
    deletions.clear();
    std::vector<unsigned char> message = deletion_message(c.stats_size);
    EXPECT_TRUE(parse_link_messages(message.data(), message.size(), record));
    ASSERT_EQ(deletions.size(), 1u) << c.stats_size;
    EXPECT_STREQ(deletions[0].name.data(), "wwan0");
    EXPECT_EQ(deletions[0].has_counters, c.has_counters) << c.stats_size;
    EXPECT_EQ(deletions[0].tx, c.has_counters ? 1296u : 0u) << c.stats_size;
    EXPECT_EQ(deletions[0].rx, c.has_counters ? 4000u : 0u) << c.stats_size;
  }
}

}  // namespace
