// The report body for arbitrary serial numbers (its serial value must decode back to the input),
// and installer-ID checking with address forming.
#include <stdlib.h>
#include <string.h>

#include <cstdint>
#include <string>

#include "inputs/config.h"
#include "report/cycle.h"
#include "report/report_body.h"
#include "report/upload.h"

namespace {

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  abort();
}

std::string decode(const char* begin, const char* end) {
  std::string out;
  for (const char* p = begin; p < end; ++p) {
    if (*p == '%') {
      if (end - p < 3) abort();
      out += static_cast<char>(hex(p[1]) * 16 + hex(p[2]));
      p += 2;
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Settings are texts of at most 127 characters without NUL.
  std::string input(reinterpret_cast<const char*>(data), size < 127 ? size : 127);
  input = input.substr(0, strlen(input.c_str()));

  char body[kLineSize];
  if (!format_report_body(body, sizeof(body), input.c_str(), UINT64_MAX, 1, 2)) abort();
  const char* serial = body + strlen("serial=");
  const char* end = strchr(serial, '&');
  if (strncmp(body, "serial=", 7) != 0 || !end) abort();
  if (decode(serial, end) != input) abort();
  if (strcmp(end, "&bw_tot=18446744073709551615&bw_dn=1&bw_up=2") != 0) abort();

  // A valid installer ID can only ever name a host under the management domain.
  UploadTarget target;
  char address[1024];
  if (!form_server_address(address, sizeof(address), input.c_str(), target)) abort();
  if (installer_id_valid(input.c_str())) {
    std::string expected = "https://" + input + "." + target.domain + ":8090/bandwidth.php";
    if (expected != address) abort();
    if (input.find_first_of("@/?#:\\ ") != std::string::npos) abort();
  }
  return 0;
}
