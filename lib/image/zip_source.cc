#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "image/decoders.h"
#include "image/inflate_step.h"
#include "image/zip_directory.h"

namespace image {

namespace {

// The image member of a zip archive: stored bytes as they are, deflated ones through
// zlib; its CRC-32 and size are checked at its end.
class zip_source : public stream_source {
 public:
  zip_source(byte_source& input, const zip_member& member)
      : stream_source(input, member.data_offset, member.compressed_size), member_(member) {
    if (member_.method == 8 && inflateInit2(&z_, -MAX_WBITS) != Z_OK) {
      throw coded_error(reason::image, "failed to set up the zip decoder");
    }
  }
  ~zip_source() override {
    if (member_.method == 8) inflateEnd(&z_);
  }

 private:
  step_result step(const std::uint8_t* input, std::size_t input_size, std::uint8_t* output, std::size_t output_size,
                   bool input_ended) override {
    step_result r = member_.method == 8 ? inflate_step(z_, input, input_size, output, output_size)
                                        : copy_step(input, input_size, output, output_size, input_ended);
    crc_ = crc32_z(crc_, output, r.output_made);
    size_ += r.output_made;
    return r;
  }

  step_result copy_step(const std::uint8_t* input, std::size_t input_size, std::uint8_t* output,
                        std::size_t output_size, bool input_ended) {
    const std::size_t n = std::min(input_size, output_size);
    std::memcpy(output, input, n);
    return {n, n, input_ended};
  }

  void next_stream() override { throw corrupt_data("zip member holds data after its deflated stream"); }

  void finish() override {
    if (size_ != member_.size) {
      throw corrupt_data("zip member " + member_.name + " holds " + std::to_string(size_) + " bytes, its directory says " +
                         std::to_string(member_.size));
    }
    if (crc_ != member_.crc32) throw corrupt_data("zip member " + member_.name + " fails its CRC-32 check");
  }

  zip_member member_;
  z_stream z_{};
  uLong crc_ = crc32_z(0, nullptr, 0);
  std::uint64_t size_ = 0;
};

}  // namespace

std::unique_ptr<image_source> open_zip(byte_source& input, random_access& archive) {
  return std::make_unique<zip_source>(input, find_image_member(archive));
}

}  // namespace image
