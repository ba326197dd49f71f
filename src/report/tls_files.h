// The TLS files an operator may configure: a client certificate and its key, by which the router
// proves who it is, and a CA bundle that alone is trusted for the server. Read every cycle, so
// that a certificate the TR-069 client renews takes effect at the next report.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "inputs/config.h"

struct TlsFiles {
  ConfigField client_cert{};  // PEM; empty: no client certificate
  ConfigField client_key{};   // PEM, the service's own and no one else's
  ConfigField ca_file{};      // PEM bundle; empty: the system's CA directory
};

using TlsProblem = std::array<char, 320>;

// easycwmp.bandwidth.client_cert, client_key and ca_file as configured now.
TlsFiles read_tls_files();

// Why a report must not go out with these files, or false when it may: only one of certificate
// and key set, a file missing or unreadable, or a key that is not a regular file of the service's
// user readable by no one else. A report is never sent without the certificate asked for.
bool tls_files_unusable(const TlsFiles& files, TlsProblem* problem);

// A fingerprint of the files as they are now (names, and each one's inode, size and time of
// change): a renewed certificate or key changes it, so that no TLS session made with the old one
// is offered again.
uint64_t tls_files_fingerprint(const TlsFiles& files);
