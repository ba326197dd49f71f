// The server's addresses, looked up so that a stop never waits for a name server. A lookup that
// hangs (a cellular link whose DNS never answers is common) cannot be interrupted inside libcurl
// or the C library's resolver; here it runs in a child process that is abandoned the moment a stop
// is asked for, and libcurl is handed the addresses it found.
#pragma once

#include <cstddef>
#include <cstdint>

enum class LookupOutcome { kFound, kLocal, kNotFound, kStopped };

// Looks host up, waiting at most timeout_ms. kFound: entry holds "host:port:address[,address...]"
// for CURLOPT_RESOLVE. kLocal: a name of this machine ("localhost", "*.localhost") that libcurl
// answers itself. kNotFound: no address, or no answer in time. kStopped: a stop was asked for.
LookupOutcome look_up_server(const char* host, int port, int64_t timeout_ms, char* entry,
                             size_t entry_size);
