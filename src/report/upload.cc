#include "report/upload.h"

#include <ctype.h>
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/log.h"
#include "common/resources.h"

namespace {

const UploadTarget kBuiltInTarget;
const UploadTarget* upload_target = &kBuiltInTarget;

constexpr size_t kAddressSize = 1024;

using CurlHandle = ScopedHandle<CURL, curl_easy_cleanup>;

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

UploadResult failed(const char* detail) {
  UploadResult result;
  copy_text(result.detail.data(), result.detail.size(), detail);
  return result;
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

void upload_set_target(const UploadTarget* target) {
  upload_target = target ? target : &kBuiltInTarget;
}

UploadResult upload_report(const char* body, const char* installer_id) {
  const UploadTarget& target = *upload_target;
  if (!installer_id_valid(installer_id)) {
    log_failure(stderr, "%s\n",
                "Installer ID may hold only letters, digits, '-' and '.'; report not sent");
    return failed("installer ID not usable in a host name");
  }

  // Address, reply collector, handle.
  char address[kAddressSize];
  if (!form_server_address(address, sizeof(address), installer_id, target))
    return failed("server address too long");
  ScopedResponse reply;
  CurlHandle curl(curl_easy_init());
  if (!curl.get()) return failed("libcurl could not start");

  // The options, with time limits so that a half-open link cannot hold the service.
  curl_easy_setopt(curl.get(), CURLOPT_URL, address);
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body);
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(strlen(body)));
  curl_easy_setopt(curl.get(), CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  curl_easy_setopt(curl.get(), CURLOPT_CAPATH, target.ca_directory);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, write_response);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, reply.get());
  curl_easy_setopt(curl.get(), CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, target.connect_timeout);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, target.timeout);

  // The transfer, and the verdict in the reply's text; the status code is not looked at.
  CURLcode result = curl_easy_perform(curl.get());
  if (result != CURLE_OK) {
    log_failure(stderr, "curl_easy_perform() failed: %s\n", curl_easy_strerror(result));
    return failed(curl_easy_strerror(result));
  }
  response_buffer* collected = reply.get();
  const char* text = collected->data ? collected->data : "";
  log_verbose(verbose, "update_bandwidth: %lu bytes retrieved\n",
              static_cast<unsigned long>(collected->size));
  log_verbose(verbose, "bandwidth %s\n", text);
  UploadResult verdict;
  verdict.outcome = reply_accepted(text) ? ReportOutcome::kAccepted : ReportOutcome::kRefused;
  if (verdict.outcome == ReportOutcome::kAccepted) log_verbose(verbose, "update_accepted 1\n");
  return verdict;
}
