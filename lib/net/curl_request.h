#pragma once
// One HTTP request through libcurl with the settings every request of the engine
// shares: redirects followed (http and https only), proxies from the usual environment
// variables (libcurl's own handling), HTTP/2 where the server offers it, the
// certificate authorities of the system or of CURL_CA_BUNDLE, SSL_CERT_FILE or
// SSL_CERT_DIR as the curl tool takes them, and the headers of the response read.
#include <cstdint>
#include <optional>
#include <string>

#include "net/curl_library.h"

namespace net {

struct network_settings {
  // No byte for this long counts as a stalled connection; also the connect timeout.
  std::uint32_t stall_timeout_ms = 30000;
};

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
    curl_.easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &body_trampoline<Sink>);
    curl_.easy_setopt(handle_, CURLOPT_WRITEDATA, &sink);
  }

  const response_headers& headers() const { return headers_; }
  // Where the request ended up after redirects.
  std::string effective_url() const;

 private:
  template <class Sink>
  static std::size_t body_trampoline(char* bytes, std::size_t size, std::size_t count, void* sink) {
    return static_cast<Sink*>(sink)->operator()(reinterpret_cast<const std::uint8_t*>(bytes), size * count)
               ? size * count
               : 0;
  }
  static std::size_t header_line(char* bytes, std::size_t size, std::size_t count, void* self);

  const curl_library& curl_;
  CURL* handle_;
  curl_slist* header_list_ = nullptr;
  std::string range_;
  response_headers headers_;
};

// The reason of a failed transfer: "HTTP <status>" for an error status, else libcurl's text.
std::string failure_text(const curl_library& curl, CURLcode code, long status);

// Whether a failure may pass when tried again: the connection, a timeout, a server
// error (5xx, 408, 429); not a refusal such as 404.
bool transient(CURLcode code, long status);

}  // namespace net
