// The kernel's word on links that go away or change. When an interface is deleted (a modem reset,
// a USB modem re-enumerated), an rtnetlink message tells its final counters, including what it
// carried since the service last read them; when a link goes down or up (a modem re-registering,
// as when it switches SIM), the message tells its counters then.
#pragma once

#include <cstddef>
#include <cstdint>

#include "inputs/gateway.h"

struct LinkEvent {
  bool deleted = false;  // RTM_DELLINK; otherwise RTM_NEWLINK, a link added or changed
  bool running = false;  // IFF_RUNNING: up, with its carrier
  long ifindex = 0;
  InterfaceName name{};
  bool has_counters = false;  // the message carried the link's 64-bit statistics
  uint64_t tx = 0;
  uint64_t rx = 0;
};

using LinkEventHandler = void (*)(const LinkEvent& deletion);

// Walks one datagram of rtnetlink messages and hands every link message in it to handler. False
// when the datagram is malformed; whatever came before the fault was handed on.
bool parse_link_messages(const void* data, size_t size, LinkEventHandler handler);

// A non-blocking rtnetlink socket subscribed to link messages, or -1 (said in one line).
int open_link_events();

// Reads every datagram waiting on fd and hands the link messages in them to handler. False, said
// once, when the kernel dropped messages the socket had no room for.
bool read_link_events(int fd, LinkEventHandler handler);
