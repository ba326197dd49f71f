#include "inputs/link_events.h"

#include <errno.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/log.h"

namespace {

bool lost_said = false;

// Said when the kernel's word on deleted links cannot be had: what it costs.
void say_unfollowed(const char* what, int error) {
  log_failure(stderr,
              "%s (%s): a module interface deleted meanwhile loses what it carried since the "
              "last sample\n",
              what, strerror(error));
}

// The byte counters of a struct rtnl_link_stats64, near its start. Kernels send the struct as
// they know it (192 bytes before 5.19, 200 after), so only these fields need to be there.
constexpr size_t kRxBytesAt = offsetof(rtnl_link_stats64, rx_bytes);
constexpr size_t kTxBytesAt = offsetof(rtnl_link_stats64, tx_bytes);
constexpr size_t kBytesEnd = (kRxBytesAt > kTxBytesAt ? kRxBytesAt : kTxBytesAt) + sizeof(uint64_t);

uint64_t u64_at(const unsigned char* p) {
  uint64_t value;
  memcpy(&value, p, sizeof(value));
  return value;
}

// A link message's name and counters from its attributes; false when they do not fit the message.
bool read_attributes(const unsigned char* p, size_t size, LinkEvent* event) {
  while (size >= sizeof(nlattr)) {
    nlattr attribute;
    memcpy(&attribute, p, sizeof(attribute));
    if (attribute.nla_len < sizeof(nlattr) || attribute.nla_len > size) return false;
    const unsigned char* value = p + NLA_HDRLEN;
    size_t length = attribute.nla_len - NLA_HDRLEN;
    int type = attribute.nla_type & NLA_TYPE_MASK;
    if (type == IFLA_IFNAME) {
      size_t n = strnlen(reinterpret_cast<const char*>(value), length);
      if (n >= event->name.size()) return false;
      memcpy(event->name.data(), value, n);
      event->name[n] = '\0';
    } else if (type == IFLA_STATS64 && length >= kBytesEnd) {
      event->has_counters = true;
      event->rx = u64_at(value + kRxBytesAt);
      event->tx = u64_at(value + kTxBytesAt);
    }
    size_t step = NLA_ALIGN(attribute.nla_len);
    if (step >= size) break;
    p += step;
    size -= step;
  }
  return true;
}

}  // namespace

bool parse_link_messages(const void* data, size_t size, LinkEventHandler handler) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (size >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    memcpy(&header, p, sizeof(header));
    if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > size) return false;
    if (header.nlmsg_type == RTM_DELLINK || header.nlmsg_type == RTM_NEWLINK) {
      size_t body = header.nlmsg_len - NLMSG_HDRLEN;
      if (body < NLMSG_ALIGN(sizeof(ifinfomsg))) return false;
      ifinfomsg info;
      memcpy(&info, p + NLMSG_HDRLEN, sizeof(info));
      LinkEvent event;
      event.deleted = header.nlmsg_type == RTM_DELLINK;
      event.running = info.ifi_flags & IFF_RUNNING;
      event.ifindex = info.ifi_index;
      size_t at = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifinfomsg));
      if (!read_attributes(p + at, header.nlmsg_len - at, &event)) return false;
      if (event.ifindex > 0) handler(event);
    }
    size_t step = NLMSG_ALIGN(header.nlmsg_len);
    if (step >= size) break;
    p += step;
    size -= step;
  }
  return true;
}

int open_link_events() {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  sockaddr_nl address = {};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
  say_unfollowed("Cannot follow link changes", errno);
  if (fd >= 0) close(fd);
  return -1;
}

bool read_link_events(int fd, LinkEventHandler handler) {
  // A link message with its statistics and settings is a few KB; the kernel sends one a datagram.
  alignas(nlmsghdr) unsigned char buffer[16384];
  bool complete = true;
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n > 0) {
      parse_link_messages(buffer, static_cast<size_t>(n), handler);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ENOBUFS) {
      complete = false;
      continue;
    }
    break;
  }
  if (!complete && !lost_said) say_unfollowed("Missed link changes", ENOBUFS);
  lost_said = lost_said || !complete;
  return complete;
}
