#pragma once
// The short requests around an image: the headers of a URL, a small file whole (a
// checksums file, a signature, a block map), and reads of byte ranges (the xz index
// and the zip directory at the end of an image).
#include <cstdint>
#include <optional>
#include <string>

#include "image/byte_source.h"
#include "net/curl_request.h"

namespace net {

// The headers of `url` (a HEAD request). Throws coded_error (ENETWORK) "failed to
// reach <url>: <cause>".
response_headers probe(const std::string& url, const network_settings& settings);

// The whole body of `url`, at most `limit` bytes; none where the server says it has no
// such file (404, 410). Throws coded_error (ENETWORK) "failed to download <url>: <cause>".
std::optional<std::string> fetch_small(const std::string& url, const network_settings& settings,
                                       std::size_t limit = 16 << 20);

// The contents of a path or a URL; none where there is no such file.
std::optional<std::string> read_location(const std::string& location, const network_settings& settings);

// Byte ranges of `url`, whose size is `size`, one request each: `url` is where the
// image's body came from (after redirects) and `validator` its response's strong ETag
// or date, sent as If-Range, so that every range comes from the same file as the body.
// A server that does not answer with the range asked for of a file of that size makes
// the read fail.
class url_access : public image::random_access {
 public:
  url_access(std::string url, std::string validator, std::uint64_t size, network_settings settings)
      : url_(std::move(url)), validator_(std::move(validator)), size_(size), settings_(std::move(settings)) {}
  std::uint64_t size() const override { return size_; }
  bool read_at(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override;

 private:
  std::string url_;
  std::string validator_;
  std::uint64_t size_;
  network_settings settings_;
};

}  // namespace net
