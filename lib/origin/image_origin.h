#pragma once
// Where a job's image comes from and how it is checked: a local file or an http(s)
// URL (downloaded as it is decoded, or taken from the cache), with its published
// SHA-256 (given, or read from a checksums file whose OpenPGP signature is checked
// first) computed as the bytes arrive and compared at the end. Everything that can
// refuse the image before its data is read (the checksums file, its signature, the
// server's answer, the format's own records) does so when it is opened.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "cache/image_cache.h"
#include "image/byte_source.h"
#include "image/image_source.h"
#include "image/range_checksum.h"

namespace net {
class http_download;
struct network_settings;
}

namespace origin {

struct image_request {
  std::string location;   // a path or an http(s) URL
  std::string sha256;     // the published digest, lower-case hex; empty: none given
  std::string checksums;  // path or URL of a checksums file; empty: none
  std::string keyring;    // path; empty: the checksums file need not be signed
  bool cache = false;     // a URL image is kept in (and taken from) the cache
  std::uint64_t cache_limit = cache::default_limit;
  std::uint32_t stall_timeout_ms = 30000;
  bool digest = false;    // the SHA-256 of the bytes read is computed where nothing asks for it
  // The job's cancel, watched by every request of the image; none: nothing cancels.
  std::function<bool()> cancelled{};

  bool checked() const { return !sha256.empty() || !checksums.empty(); }
};

// What a job report tells of where the bytes came from.
// The settings of the requests made for `request`.
net::network_settings network_of(const image_request& request);

struct source_account {
  bool downloaded = false;   // from the network, now
  bool from_cache = false;
  std::uint64_t bytes = 0;   // downloaded (or read from the cache)
  unsigned resumes = 0;
  std::string expected_sha256;  // empty: none was given
  std::string actual_sha256;    // empty: not computed, or the image was not read to its end
};

// The digest the request publishes for its image: the one given, or the line naming
// the image in the checksums file, whose signature is checked first where a keyring is
// given. Empty where none is asked for. Throws coded_error: ECHECKSUM (no checksums
// file, no line for the image), ESIGNATURE (no signature, a bad one), ENETWORK.
std::string expected_sha256(const image_request& request);

class image_origin {
 public:
  // `known` is what the job knows of a local file already (set_image inspected it).
  // Throws coded_error: ECHECKSUM, ESIGNATURE, ENETWORK, EIMAGE.
  image_origin(const image_request& request, const std::optional<image::image_info>& known);
  ~image_origin();
  image_origin(const image_origin&) = delete;
  image_origin& operator=(const image_origin&) = delete;

  const image::image_info& info() const { return info_; }
  // The digest of `name` on a line of the checksums file checked for the image; none
  // where it has no such line or no checksums file was read.
  std::optional<std::string> listed_sha256(const std::string& name) const;
  image::byte_source& stored() { return *stored_; }
  // The archive read at random places (the zip directory).
  image::random_access& random() { return *random_; }

  // Once the image was read to its end: takes the rest of the file where the checksum
  // or the cache needs it, compares the checksum and keeps the cache entry. Throws
  // coded_error (ECHECKSUM) "image checksum mismatch: expected X, got Y".
  void finish();
  // From another thread: a read waiting for the network gives up.
  void stop() { stored_->stop(); }
  // Decoded bytes went on to the drives (a download may no longer start over).
  void seal() { stored_->seal(); }

  // Read from any thread: a drive of a group that stopped early asks while the reader
  // goes on for the others.
  source_account account() const;

 private:
  void open_cached(const cache::entry& hit);
  void open_download();
  void open_file(const std::optional<image::image_info>& known);
  // The cache entry that holds the image now, if any.
  std::optional<cache::entry> cached() const;

  image_request request_;
  std::string checksums_;  // the checksums file read, its signature checked; empty: none
  std::string expected_;
  std::unique_ptr<cache::image_cache> cache_;
  std::unique_ptr<cache::image_cache::filling> filling_;
  std::unique_ptr<image::range_checksum> sha256_;
  net::http_download* download_ = nullptr;  // the input of stored_, where the image is downloaded
  std::unique_ptr<image::byte_source> stored_;
  std::unique_ptr<image::random_access> random_;
  image::image_info info_;
  std::string etag_;
  std::string last_modified_;
  bool from_cache_ = false;
  mutable std::mutex account_mutex_;
  std::string actual_;  // under account_mutex_
};

}  // namespace origin
