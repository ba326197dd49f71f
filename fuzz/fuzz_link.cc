// Link messages as the kernel's rtnetlink socket hands them over: any datagram is walked without
// reading past it, and every link message handed on names a real index and a whole interface name.
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "inputs/link_events.h"

namespace {

size_t deletions = 0;

void check(const LinkEvent& deletion) {
  if (deletion.ifindex <= 0) abort();
  if (strnlen(deletion.name.data(), deletion.name.size()) >= deletion.name.size()) abort();
  ++deletions;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of its own size, so that a read past the datagram is caught.
  std::vector<uint8_t> datagram(data, data + size);
  deletions = 0;
  parse_link_messages(datagram.data(), datagram.size(), check);
  if (deletions > size / 16) abort();  // no message is shorter than its header
  return 0;
}
