#include "net/http_fetch.h"

#include <cstring>
#include <fstream>
#include <sstream>

#include "net/url.h"
#include "support/coded_error.h"

namespace net {

namespace {

// Runs a short request; a cancel ends it with the cancel's error.
CURLcode perform(curl_request& request, const network_settings& settings) {
  const CURLcode code = request.perform(settings);
  if (code == CURLE_ABORTED_BY_CALLBACK) throw cancelled_error();
  return code;
}

}  // namespace

response_headers probe(const std::string& url, const network_settings& settings) {
  curl_request request(url, settings);
  const auto& curl = request.curl();
  curl.easy_setopt(request.handle(), CURLOPT_NOBODY, 1L);
  const CURLcode code = perform(request, settings);
  if (code != CURLE_OK) {
    throw coded_error(reason::network, "failed to reach " + url + ": " + failure_text(curl, code, request.headers().status));
  }
  return request.headers();
}

std::optional<std::string> fetch_small(const std::string& url, const network_settings& settings, std::size_t limit) {
  curl_request request(url, settings);
  const auto& curl = request.curl();
  std::string body;
  bool too_long = false;
  auto sink = [&](const std::uint8_t* bytes, std::size_t size) {
    too_long = body.size() + size > limit;
    if (!too_long) body.append(reinterpret_cast<const char*>(bytes), size);
    return !too_long;
  };
  request.on_body(sink);
  const CURLcode code = perform(request, settings);
  const long status = request.headers().status;
  if (code == CURLE_HTTP_RETURNED_ERROR && (status == 404 || status == 410)) return std::nullopt;
  if (too_long) throw coded_error(reason::network, "failed to download " + url + ": larger than " + std::to_string(limit) + " bytes");
  if (code != CURLE_OK) throw coded_error(reason::network, "failed to download " + url + ": " + failure_text(curl, code, status));
  return body;
}

std::optional<std::string> read_location(const std::string& location, const network_settings& settings) {
  if (is_url(location)) return fetch_small(location, settings);
  std::ifstream file(location, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

bool url_access::read_at(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
  if (size == 0) return true;
  curl_request request(url_, settings_);
  request.set_range(offset, offset + size - 1);
  // A file that changed since the body's first response is sent whole, and refused.
  if (!validator_.empty()) request.add_header("If-Range: " + validator_);
  std::size_t got = 0;
  auto sink = [&](const std::uint8_t* bytes, std::size_t n) {
    const response_headers& h = request.headers();
    // A server that ignores the range would send the whole image: stop at once.
    if (h.status != 206 || h.range_start != offset || h.range_total != size_ || got + n > size) return false;
    std::memcpy(buffer + got, bytes, n);
    got += n;
    return true;
  };
  request.on_body(sink);
  // A cancel makes the read fail; the caller tells it from a short file by the settings.
  return request.perform(settings_) == CURLE_OK && got == size;
}

}  // namespace net
