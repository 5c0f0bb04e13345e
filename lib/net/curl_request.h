#pragma once
// One HTTP request through libcurl with the settings every request of the engine
// shares: redirects followed (http and https only, and from https to https only, so
// that a download that began over TLS never goes on in the clear), proxies from the
// usual environment variables (libcurl's own handling), HTTP/2 where the server offers it, the
// certificate authorities of the system or of CURL_CA_BUNDLE, SSL_CERT_FILE or
// SSL_CERT_DIR as the curl tool takes them, and the headers of the response read.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "net/curl_library.h"
#include "support/coded_error.h"

namespace net {

struct network_settings {
  // No byte for this long counts as a stalled connection; also the connect timeout.
  std::uint32_t stall_timeout_ms = 30000;
  // The job's cancel: a request waiting for the network gives up within a poll of it
  // answering true. None: nothing cancels.
  std::function<bool()> cancelled{};

  bool cancel_requested() const { return cancelled && cancelled(); }
};

// The error of a request given up because its job was cancelled.
coded_error cancelled_error();

// What the headers of the final response (after redirects) tell.
struct response_headers {
  long status = 0;
  std::optional<std::uint64_t> length;  // Content-Length
  std::string etag;
  std::string last_modified;
  bool accepts_ranges = false;               // Accept-Ranges: bytes
  std::optional<std::uint64_t> range_start;  // Content-Range: bytes START-END/TOTAL
  std::optional<std::uint64_t> range_total;
};

class curl_request {
 public:
  // Throws coded_error (ENETWORK) "libcurl is not available".
  curl_request(const std::string& url, const network_settings& settings);
  ~curl_request();
  curl_request(const curl_request&) = delete;
  curl_request& operator=(const curl_request&) = delete;

  CURL* handle() const { return handle_; }
  const curl_library& curl() const { return curl_; }

  // Asks for bytes [first, last] (to the end without `last`).
  void set_range(std::uint64_t first, std::optional<std::uint64_t> last = std::nullopt);
  // Adds a request header line ("If-Range: ...").
  void add_header(const std::string& line);
  // Gives the body bytes to `sink(bytes, size)`, which returns false to abort.
  template <class Sink>
  void on_body(Sink& sink) {
    sink_ = &sink;
    curl_.easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &body_trampoline<Sink>);
    curl_.easy_setopt(handle_, CURLOPT_WRITEDATA, this);
  }

  // Runs the request to its end, polling so that the settings' cancel and stall
  // timeout are seen while no byte comes: CURLE_ABORTED_BY_CALLBACK when cancelled,
  // CURLE_OPERATION_TIMEDOUT after the stall timeout without a byte.
  CURLcode perform(const network_settings& settings);

  const response_headers& headers() const { return headers_; }
  // Where the request ended up after redirects.
  std::string effective_url() const;

 private:
  template <class Sink>
  static std::size_t body_trampoline(char* bytes, std::size_t size, std::size_t count, void* self) {
    auto& request = *static_cast<curl_request*>(self);
    request.last_byte_at_ = std::chrono::steady_clock::now();
    return static_cast<Sink*>(request.sink_)->operator()(reinterpret_cast<const std::uint8_t*>(bytes), size * count)
               ? size * count
               : 0;
  }
  static std::size_t header_line(char* bytes, std::size_t size, std::size_t count, void* self);

  const curl_library& curl_;
  CURL* handle_;
  curl_slist* header_list_ = nullptr;
  std::string range_;
  response_headers headers_;
  void* sink_ = nullptr;
  std::chrono::steady_clock::time_point last_byte_at_;
};

// The reason of a failed transfer: "HTTP <status>" for an error status, a refused
// redirect said as such, else libcurl's text.
std::string failure_text(const curl_library& curl, CURLcode code, long status);

// Whether a failure may pass when tried again: the connection, a timeout, a server
// error (5xx, 408, 429); not a refusal such as 404.
bool transient(CURLcode code, long status);

}  // namespace net
