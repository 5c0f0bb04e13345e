#include "image/decoders.h"

namespace image {

namespace {

// The stored bytes as they are.
class raw_source : public image_source {
 public:
  explicit raw_source(byte_source& input) : input_(input) {}

  std::size_t read(std::uint8_t* buffer, std::size_t size) override { return input_.read(buffer, size); }
  std::uint64_t skip(std::uint64_t count) override { return input_.skip(count); }
  std::uint64_t consumed() const override { return input_.consumed(); }

 private:
  byte_source& input_;
};

}  // namespace

std::unique_ptr<image_source> open_raw(byte_source& input) { return std::make_unique<raw_source>(input); }

}  // namespace image
