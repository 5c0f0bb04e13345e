#pragma once
// The checksums a block map gives for its ranges (SHA-256, or SHA-1 in old maps),
// computed over the bytes as they pass, through nettle.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "image/byte_source.h"

namespace image {

// Also observes the stored bytes of an image: the published checksum of the file.
class range_checksum : public byte_observer {
 public:
  // `type` is "sha256" or "sha1"; throws std::runtime_error for another.
  explicit range_checksum(const std::string& type);
  ~range_checksum() override;
  range_checksum(const range_checksum&) = delete;
  range_checksum& operator=(const range_checksum&) = delete;

  void update(const std::uint8_t* bytes, std::size_t size);
  void observe(const std::uint8_t* bytes, std::size_t size) override { update(bytes, size); }
  // The digest of everything since the last digest, in lower-case hex.
  std::string hex_digest();

  static std::size_t hex_length(const std::string& type);

 private:
  struct state;
  std::unique_ptr<state> state_;
};

}  // namespace image
