#include "image/decoders.h"
#include "image/inflate_step.h"

namespace image {

namespace {

// gzip through zlib; members written one after another decode as one stream.
class gzip_source : public stream_source {
 public:
  explicit gzip_source(byte_source& input) : stream_source(input, 0, UINT64_MAX) {
    if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) throw coded_error(reason::image, "failed to set up the gzip decoder");
  }
  ~gzip_source() override { inflateEnd(&z_); }

 private:
  step_result step(const std::uint8_t* input, std::size_t input_size, std::uint8_t* output, std::size_t output_size,
                   bool) override {
    return inflate_step(z_, input, input_size, output, output_size);
  }

  void next_stream() override { inflateReset(&z_); }

  z_stream z_{};
};

}  // namespace

std::unique_ptr<image_source> open_gzip(byte_source& input) { return std::make_unique<gzip_source>(input); }

}  // namespace image
