// Sending a report to the management server over HTTPS, and reading its verdict.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "report/tls_files.h"

// The reply collected from the server: a NUL-terminated block (or null) and its length.
struct response_buffer {
  char* data;
  size_t size;
};

constexpr size_t kMaxReplySize = size_t{64} * 1024;
constexpr int kServerPort = 8090;
constexpr const char kCaDirectory[] = "/etc/ssl/certs";
constexpr const char kUserAgent[] = "oxel-agent/1.0";
constexpr long kConnectTimeout = 30;
constexpr long kTransferTimeout = 120;

// Where reports go. The service uses the built-in values; tests point it elsewhere.
struct UploadTarget {
  const char* domain = TOLVU_MANAGEMENT_DOMAIN;
  int port = kServerPort;
  const char* ca_directory = kCaDirectory;
  long connect_timeout = kConnectTimeout;
  long timeout = kTransferTimeout;
};

// libcurl's body callback: appends the chunk to the buffer. Returns the bytes taken, or 0 (which
// aborts the transfer) when memory runs out or the reply would pass kMaxReplySize.
size_t write_response(void* chunk, size_t item_size, size_t count, void* buffer);

// Releases the collected reply; data becomes null and size 0.
void free_response(response_buffer* buffer);

// realloc that also takes a null block.
void* myrealloc(void* ptr, size_t size);

// True when the reply holds "ACCEPTE" followed by at least one more character.
bool reply_accepted(const char* reply);

// Why a reply that does not accept is more than a plain refusal, in one line for the operator:
// for an HTTP status that is not 2xx, "The server answered 400: " and a short printable excerpt of
// the reply (of an HTML page, its title). False, with out untouched, for a plain refusal.
bool explain_refusal(long status, const char* reply, char* out, size_t out_size);

// An installer ID becomes the first label of the server's host name, so it may hold only letters,
// digits, '-' and '.'. The empty ID passes (the address is formed all the same).
bool installer_id_valid(const char* installer_id);

// "https://<installer id>.<domain>:<port>/bandwidth.php"; false if it does not fit.
bool form_server_address(char* out, size_t out_size, const char* installer_id,
                         const UploadTarget& target);

enum class ReportOutcome { kAccepted, kRefused, kFailed };

// How one upload went; detail says why, for a failed one, and for a refusal that is more than a
// plain one (see explain_refusal).
struct UploadResult {
  ReportOutcome outcome = ReportOutcome::kFailed;
  std::array<char, 128> detail{};
  int64_t retry_after = 0;  // a 429 or 503 asked for this many seconds without reports; 0: none
};

// POSTs body to the installer's server, over HTTP/1.1 and TLS 1.2 or newer, presenting the
// client certificate of tls when it has one and trusting only its CA file when it has one.
// Accepted when the reply carries the marker (however the transfer ended), refused when a reply
// without it arrived, failed when none arrived or the report could not be sent. A stop ends the
// name lookup and the transfer at once. A 429 or 503 with Retry-After (seconds or an HTTP date)
// says in retry_after how long the server asked to be left alone.
UploadResult upload_report(const char* body, const char* installer_id, const TlsFiles& tls);

// Keeps TLS sessions from one report to the next (on unless set off), for one server at a time.
void upload_set_tls_resume(bool enabled);

// Replaces the built-in target; nullptr restores it. The pointed-to target must outlive its use.
void upload_set_target(const UploadTarget* target);
