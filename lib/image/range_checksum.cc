#include "image/range_checksum.h"
#include "support/coded_error.h"

#include <nettle/sha1.h>
#include <nettle/sha2.h>

#include <stdexcept>

namespace image {

struct range_checksum::state {
  bool sha256 = true;
  sha256_ctx context256{};
  sha1_ctx context1{};
};

range_checksum::range_checksum(const std::string& type) : state_(std::make_unique<state>()) {
  if (type == "sha256") {
    sha256_init(&state_->context256);
  } else if (type == "sha1") {
    state_->sha256 = false;
    sha1_init(&state_->context1);
  } else {
    throw coded_error(reason::image, "unknown checksum type " + type);
  }
}

range_checksum::~range_checksum() = default;

void range_checksum::update(const std::uint8_t* bytes, std::size_t size) {
  if (state_->sha256) {
    sha256_update(&state_->context256, size, bytes);
  } else {
    sha1_update(&state_->context1, size, bytes);
  }
}

std::string range_checksum::hex_digest() {
  std::uint8_t digest[SHA256_DIGEST_SIZE];
  std::size_t size = state_->sha256 ? SHA256_DIGEST_SIZE : SHA1_DIGEST_SIZE;
  // nettle's digest calls also start the next digest afresh.
  if (state_->sha256) {
    sha256_digest(&state_->context256, size, digest);
  } else {
    sha1_digest(&state_->context1, size, digest);
  }
  static const char hex[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += hex[digest[i] >> 4];
    text += hex[digest[i] & 0xf];
  }
  return text;
}

std::size_t range_checksum::hex_length(const std::string& type) {
  return type == "sha256" ? 2 * SHA256_DIGEST_SIZE : type == "sha1" ? 2 * SHA1_DIGEST_SIZE : 0;
}

}  // namespace image
