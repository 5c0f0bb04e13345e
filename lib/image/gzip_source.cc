#include <zlib.h>

#include <limits>

#include "image/decoders.h"
#include "image/stream_source.h"

namespace image {

namespace {

std::string zlib_reason(const z_stream& z, int code) { return z.msg ? z.msg : zError(code); }

// gzip through zlib; members written one after another decode as one stream.
class gzip_source : public stream_source {
 public:
  explicit gzip_source(const std::string& path) : stream_source(path, 0, UINT64_MAX) {
    if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) throw std::runtime_error("failed to set up the gzip decoder");
  }
  ~gzip_source() override { inflateEnd(&z_); }

 private:
  step_result step(const std::uint8_t* input, std::size_t input_size, std::uint8_t* output, std::size_t output_size,
                   bool) override {
    z_.next_in = const_cast<Bytef*>(input);
    z_.avail_in = static_cast<uInt>(std::min<std::size_t>(input_size, std::numeric_limits<uInt>::max()));
    z_.next_out = output;
    z_.avail_out = static_cast<uInt>(std::min<std::size_t>(output_size, std::numeric_limits<uInt>::max()));
    const uInt in_before = z_.avail_in;
    const uInt out_before = z_.avail_out;
    const int code = inflate(&z_, Z_NO_FLUSH);
    if (code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR) throw corrupt_data(zlib_reason(z_, code));
    return {in_before - z_.avail_in, out_before - z_.avail_out, code == Z_STREAM_END};
  }

  void next_stream() override { inflateReset(&z_); }

  z_stream z_{};
};

}  // namespace

std::unique_ptr<image_source> open_gzip(const std::string& path) { return std::make_unique<gzip_source>(path); }

}  // namespace image
