// The kernel's word on links that go away. When an interface is deleted (a modem reset, a USB
// modem re-enumerated), an rtnetlink message tells its final counters, including what it carried
// since the service last read them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "inputs/gateway.h"

struct LinkDeletion {
  long ifindex = 0;
  InterfaceName name{};
  bool has_counters = false;  // the message carried the link's 64-bit statistics
  uint64_t tx = 0;
  uint64_t rx = 0;
};

using LinkDeletionHandler = void (*)(const LinkDeletion& deletion);

// Walks one datagram of rtnetlink messages and hands every link deletion in it to handler. False
// when the datagram is malformed; whatever came before the fault was handed on.
bool parse_link_messages(const void* data, size_t size, LinkDeletionHandler handler);

// A non-blocking rtnetlink socket subscribed to link messages, or -1 (said in one line).
int open_link_events();

// Reads every datagram waiting on fd and hands the deletions in them to handler. False, said once,
// when the kernel dropped messages the socket had no room for.
bool read_link_events(int fd, LinkDeletionHandler handler);
