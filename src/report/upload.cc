#include "report/upload.h"

#include <ctype.h>
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <optional>

#include "common/log.h"
#include "common/resources.h"
#include "common/signals.h"
#include "report/lookup.h"

namespace {

const UploadTarget kBuiltInTarget;
const UploadTarget* upload_target = &kBuiltInTarget;

constexpr size_t kAddressSize = 1024;

using CurlHandle = ScopedHandle<CURL, curl_easy_cleanup>;

void release_share(CURLSH* share) {
  curl_share_cleanup(share);
}
using CurlShare = ScopedHandle<CURLSH, release_share>;

// TLS sessions kept from one report to the next, so that a report after the first skips the
// certificate exchange: a resumed handshake costs a fraction of the bytes on a metered link.
//
// This keeps verification as strict as a full handshake. libcurl stores a session only after a
// handshake whose certificate chain and host name were verified, and offers it again only for
// the same host name and port with the same verification settings. A resumed session proves the
// server still holds that session's secret, which only the verified server ever had. A server
// that forgot the session, restarted with new keys or refuses resumption just answers with a
// full handshake, verified as always.
//
// The share holds the sessions of one server address and one set of TLS files. When either
// changes (another installer ID, a renewed client certificate) the old share and its session are
// dropped: the new host never sees the old host's session, a session made with the old
// certificate is never offered for the new one, and memory holds one session, not a growing
// cache.
class SessionCache {
 public:
  void set_enabled(bool enabled) {
    enabled_ = enabled;
    share_.reset(nullptr);
  }
  // The share to attach for a transfer to address with these TLS files, or nullptr when
  // resumption is off.
  CURLSH* for_address(const char* address, uint64_t tls_fingerprint) {
    if (!enabled_) return nullptr;
    if (share_.get() && strcmp(address_, address) == 0 && tls_ == tls_fingerprint)
      return share_.get();
    share_.reset(curl_share_init());
    if (!share_.get() || curl_share_setopt(share_.get(), CURLSHOPT_SHARE,
                                           CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK) {
      share_.reset(nullptr);
      return nullptr;
    }
    copy_text(address_, sizeof(address_), address);
    tls_ = tls_fingerprint;
    return share_.get();
  }

 private:
  bool enabled_ = true;
  uint64_t tls_ = 0;
  CurlShare share_{nullptr};
  char address_[kAddressSize] = {};
};

SessionCache session_cache;

// One request per connection: saying so lets the server close first, and a server that ends the
// connection cleanly keeps the session in its cache (libcurl on mbedTLS never sends the TLS close
// that would let the server keep it otherwise).
curl_slist* connection_close = nullptr;

curl_slist* request_headers() {
  if (!connection_close) connection_close = curl_slist_append(nullptr, "Connection: close");
  return connection_close;
}

class ScopedResponse {
 public:
  ScopedResponse() : buffer_{static_cast<char*>(calloc(1, 1)), 0} {}
  ~ScopedResponse() { free_response(&buffer_); }
  ScopedResponse(const ScopedResponse&) = delete;
  ScopedResponse& operator=(const ScopedResponse&) = delete;

  response_buffer* get() { return &buffer_; }

 private:
  response_buffer buffer_;
};

// libcurl asks this between its steps and while it waits: a stop ends the transfer at once.
int abort_on_stop(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return stop_requested() ? 1 : 0;
}

UploadResult failed(const char* detail) {
  UploadResult result;
  copy_text(result.detail.data(), result.detail.size(), detail);
  return result;
}

void release_list(curl_slist* list) {
  curl_slist_free_all(list);
}
using CurlList = ScopedHandle<curl_slist, release_list>;

// The explanation of a refusal last said: said once, until it changes or a report is accepted.
std::array<char, 128> refusal_said{};

UploadResult verdict_of(long status, const char* reply) {
  UploadResult verdict;
  if (reply_accepted(reply)) {
    verdict.outcome = ReportOutcome::kAccepted;
    log_verbose(verbose, "update_accepted 1\n");
    refusal_said = {};
    return verdict;
  }
  verdict.outcome = ReportOutcome::kRefused;
  if (explain_refusal(status, reply, verdict.detail.data(), verdict.detail.size()) &&
      strcmp(verdict.detail.data(), refusal_said.data()) != 0) {
    log_failure(stderr, "%s\n", verdict.detail.data());
    refusal_said = verdict.detail;
  }
  return verdict;
}

}  // namespace

void* myrealloc(void* ptr, size_t size) {
  return ptr ? realloc(ptr, size) : malloc(size);
}

size_t write_response(void* chunk, size_t item_size, size_t count, void* buffer) {
  auto* reply = static_cast<response_buffer*>(buffer);
  size_t n = item_size * count;
  if (item_size != 0 && n / item_size != count) return 0;
  if (n > kMaxReplySize || reply->size + n > kMaxReplySize) return 0;

  char* grown = static_cast<char*>(myrealloc(reply->data, reply->size + n + 1));
  if (!grown) {
    log_failure(stdout, "%s\n", "not enough memory (myrealloc returned NULL)");
    free_response(reply);
    return 0;
  }
  reply->data = grown;
  memcpy(reply->data + reply->size, chunk, n);
  reply->size += n;
  reply->data[reply->size] = '\0';
  return n;
}

void free_response(response_buffer* buffer) {
  if (!buffer->data) return;
  free(buffer->data);
  buffer->data = nullptr;
  buffer->size = 0;
}

bool reply_accepted(const char* reply) {
  const char* marker = strstr(reply, "ACCEPTE");
  return marker && marker[7] != '\0';
}

bool explain_refusal(long status, const char* reply, char* out, size_t out_size) {
  if (status >= 200 && status < 300) return false;
  // An HTML error page says it best in its title; anything else is shown as it came.
  const char* text = reply;
  size_t length = strlen(reply);
  if (const char* title = strcasestr(reply, "<title>")) {
    text = title + 7;
    const char* end = strcasestr(text, "</title>");
    length = end ? static_cast<size_t>(end - text) : strlen(text);
  }
  char excerpt[96];
  size_t n = 0;
  for (size_t i = 0; i < length && n < sizeof(excerpt) - 1; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool space = c < 0x20 || c == 0x7f || c == ' ';
    if (space && (n == 0 || excerpt[n - 1] == ' ')) continue;  // runs of space become one
    excerpt[n++] = space ? ' ' : static_cast<char>(c);
  }
  while (n > 0 && excerpt[n - 1] == ' ') --n;
  excerpt[n] = '\0';
  if (n == 0)
    snprintf(out, out_size, "The server answered %ld with an empty reply", status);
  else
    snprintf(out, out_size, "The server answered %ld: %s", status, excerpt);
  return true;
}

bool installer_id_valid(const char* installer_id) {
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(installer_id); *c; ++c) {
    if (!isalnum(*c) && *c != '-' && *c != '.') return false;
  }
  return true;
}

bool form_server_address(char* out, size_t out_size, const char* installer_id,
                         const UploadTarget& target) {
  int n = snprintf(out, out_size, "https://%s.%s:%d/bandwidth.php", installer_id, target.domain,
                   target.port);
  return n >= 0 && static_cast<size_t>(n) < out_size;
}

void upload_set_tls_resume(bool enabled) {
  session_cache.set_enabled(enabled);
}

void upload_set_target(const UploadTarget* target) {
  upload_target = target ? target : &kBuiltInTarget;
}

namespace {

// The server's addresses, looked up under the service's own watch so that a stop ends a hanging
// lookup: into resolved as CURLOPT_RESOLVE takes them, or empty when libcurl is to look itself.
// A failed result when there are none, or a stop came.
std::optional<UploadResult> look_up(const char* installer_id, const UploadTarget& target,
                                    char* resolved, size_t resolved_size) {
  char host[kAddressSize];
  snprintf(host, sizeof(host), "%s.%s", installer_id, target.domain);
  resolved[0] = '\0';
  LookupOutcome lookup =
      look_up_server(host, target.port, target.connect_timeout * 1000, resolved, resolved_size);
  if (lookup == LookupOutcome::kStopped) return failed("stopped mid-report");
  if (lookup == LookupOutcome::kNotFound) {
    const char* error = curl_easy_strerror(CURLE_COULDNT_RESOLVE_HOST);
    log_failure(stderr, "curl_easy_perform() failed: %s\n", error);
    return failed(error);
  }
  if (lookup != LookupOutcome::kFound) resolved[0] = '\0';
  return std::nullopt;
}

// The options, with time limits so that a half-open link cannot hold the service.
void set_options(CURL* curl, const char* address, const char* body, const TlsFiles& tls,
                 const UploadTarget& target, response_buffer* reply) {
  curl_easy_setopt(curl, CURLOPT_URL, address);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(strlen(body)));
  curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  // HTTP/1.1 whatever the server offers: over HTTP/2 no TLS session is resumed, and a report is
  // one request on a connection of its own.
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  // The operator's CA file, when set, is all that is trusted: no CA directory, no bundle.
  if (tls.ca_file[0]) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, tls.ca_file.data());
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  } else {
    curl_easy_setopt(curl, CURLOPT_CAPATH, target.ca_directory);
  }
  if (tls.client_cert[0]) {
    curl_easy_setopt(curl, CURLOPT_SSLCERT, tls.client_cert.data());
    curl_easy_setopt(curl, CURLOPT_SSLCERTTYPE, "PEM");
    curl_easy_setopt(curl, CURLOPT_SSLKEY, tls.client_key.data());
    curl_easy_setopt(curl, CURLOPT_SSLKEYTYPE, "PEM");
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_response);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, reply);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, target.connect_timeout);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, target.timeout);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, request_headers());
  // Nothing older than TLS 1.2, whatever the TLS library would allow; and no proxy from the
  // environment: a root daemon's billing data goes straight to its server.
  curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, abort_on_stop);
  if (CURLSH* share = session_cache.for_address(address, tls_files_fingerprint(tls)))
    curl_easy_setopt(curl, CURLOPT_SHARE, share);
}

// The verdict in the reply's text: a reply that carries the marker is the server's acceptance,
// however the transfer ended (cut short after it, or by a stop). A 429 or 503 may ask for time.
UploadResult read_reply(CURL* curl, CURLcode result, const response_buffer& collected) {
  const char* text = collected.data ? collected.data : "";
  if (result != CURLE_OK && !reply_accepted(text)) {
    if (stop_requested()) return failed("stopped mid-report");
    log_failure(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(result));
    return failed(curl_easy_strerror(result));
  }
  log_verbose(verbose, "update_bandwidth: %lu bytes retrieved\n",
              static_cast<unsigned long>(collected.size));
  log_verbose(verbose, "bandwidth %s\n", text);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  UploadResult verdict = verdict_of(status, text);
  curl_off_t retry_after = 0;
  if ((status == 429 || status == 503) &&
      curl_easy_getinfo(curl, CURLINFO_RETRY_AFTER, &retry_after) == CURLE_OK)
    verdict.retry_after = retry_after;
  return verdict;
}

}  // namespace

UploadResult upload_report(const char* body, const char* installer_id, const TlsFiles& tls) {
  const UploadTarget& target = *upload_target;
  if (!installer_id_valid(installer_id)) {
    log_failure(stderr, "%s\n",
                "Installer ID may hold only letters, digits, '-' and '.'; report not sent");
    return failed("installer ID not usable in a host name");
  }
  char address[kAddressSize];
  if (!form_server_address(address, sizeof(address), installer_id, target))
    return failed("server address too long");
  char resolved[kAddressSize];
  if (std::optional<UploadResult> none = look_up(installer_id, target, resolved, sizeof(resolved)))
    return *none;
  CurlList addresses(resolved[0] ? curl_slist_append(nullptr, resolved) : nullptr);
  ScopedResponse reply;
  CurlHandle curl(curl_easy_init());
  if (!curl.get()) return failed("libcurl could not start");
  set_options(curl.get(), address, body, tls, target, reply.get());
  if (addresses.get()) curl_easy_setopt(curl.get(), CURLOPT_RESOLVE, addresses.get());
  CURLcode result = curl_easy_perform(curl.get());
  return read_reply(curl.get(), result, *reply.get());
}
