#include "report/report_body.h"

#include <ctype.h>
#include <inttypes.h>
#include <stdio.h>

#include "inputs/config.h"

bool encode_form_value(const char* text, char* out, size_t out_size) {
  static const char kHex[] = "0123456789ABCDEF";
  if (out_size == 0) return false;
  size_t n = 0;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c; ++c) {
    bool plain = isalnum(*c) || *c == '-' || *c == '.' || *c == '_' || *c == '~';
    size_t need = plain ? 1 : 3;
    if (n + need >= out_size) return false;
    if (plain) {
      out[n++] = static_cast<char>(*c);
    } else {
      out[n++] = '%';
      out[n++] = kHex[*c >> 4];
      out[n++] = kHex[*c & 0xF];
    }
  }
  out[n] = '\0';
  return true;
}

bool format_report_body(char* out, size_t out_size, const char* serial, uint64_t total,
                        uint64_t rxdiff, uint64_t txdiff, uint64_t epoch, uint64_t seq,
                        const char* iccid) {
  char encoded[3 * kConfigFieldSize];
  if (!encode_form_value(serial, encoded, sizeof(encoded))) return false;
  int n = snprintf(out, out_size, "serial=%s&bw_tot=%" PRIu64 "&bw_dn=%" PRIu64 "&bw_up=%" PRIu64,
                   encoded, total, rxdiff, txdiff);
  if (n >= 0 && epoch && static_cast<size_t>(n) < out_size)
    n += snprintf(out + n, out_size - static_cast<size_t>(n), "&epoch=%016" PRIx64 "&seq=%" PRIu64,
                  epoch, seq);
  // An ICCID is digits and perhaps an F: nothing to encode.
  if (n >= 0 && iccid[0] && static_cast<size_t>(n) < out_size)
    n += snprintf(out + n, out_size - static_cast<size_t>(n), "&iccid=%s", iccid);
  return n >= 0 && static_cast<size_t>(n) < out_size;
}
