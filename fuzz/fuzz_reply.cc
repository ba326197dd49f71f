// The reply collector and the acceptance test: arbitrary bytes in arbitrary chunks, past the
// size limit too.
#include <stdlib.h>
#include <string.h>

#include <cstdint>
#include <vector>

#include "report/upload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte sets the chunk size; repeating the body in larger chunks lets small inputs
  // pass 64 KiB (in chunks of the sizes libcurl hands over, not byte by byte).
  bool repeated = (data[0] & 0x40) != 0;
  size_t chunk = ((data[0] & 0x3F) + 1) * (repeated ? 256 : 1);
  size_t repeat = repeated ? kMaxReplySize / 256 + 1 : 1;
  const uint8_t* body = data + 1;
  size_t body_size = size - 1;

  response_buffer reply{static_cast<char*>(calloc(1, 1)), 0};
  std::vector<char> expected;
  bool refused = false;
  for (size_t r = 0; r < repeat && !refused; ++r) {
    for (size_t at = 0; at < body_size; at += chunk) {
      size_t n = body_size - at < chunk ? body_size - at : chunk;
      size_t taken = write_response(const_cast<uint8_t*>(body + at), 1, n, &reply);
      if (taken == 0 && n > 0) {
        refused = true;
        break;
      }
      if (taken != n) abort();
      expected.insert(expected.end(), body + at, body + at + n);
    }
  }
  if (reply.size > kMaxReplySize || reply.size != expected.size()) abort();
  if (refused && expected.size() + chunk <= kMaxReplySize) abort();
  if (reply.data[reply.size] != '\0') abort();
  if (reply.size && memcmp(reply.data, expected.data(), reply.size) != 0) abort();

  // Accepted exactly when the text up to its first NUL holds "ACCEPTE" and one more character.
  const char* text = reply.data;
  const char* marker = strstr(text, "ACCEPTE");
  if (reply_accepted(text) != (marker != nullptr && marker[7] != '\0')) abort();
  free_response(&reply);
  return 0;
}
