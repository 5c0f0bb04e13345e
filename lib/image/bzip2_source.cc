#include <bzlib.h>

#include <limits>

#include "image/decoders.h"
#include "image/stream_source.h"

namespace image {

namespace {

std::string bzip2_reason(int code) {
  switch (code) {
    case BZ_DATA_ERROR: return "bzip2 data integrity error";
    case BZ_DATA_ERROR_MAGIC: return "not bzip2 data";
    case BZ_MEM_ERROR: return "out of memory";
    default: return "bzip2 error " + std::to_string(code);
  }
}

// bzip2 through libbz2; streams written one after another (parallel compressors)
// decode as one.
class bzip2_source : public stream_source {
 public:
  explicit bzip2_source(byte_source& input) : stream_source(input, 0, UINT64_MAX) { start(); }
  ~bzip2_source() override { BZ2_bzDecompressEnd(&bz_); }

 private:
  void start() {
    bz_ = bz_stream{};
    if (BZ2_bzDecompressInit(&bz_, 0, 0) != BZ_OK) throw coded_error(reason::image, "failed to set up the bzip2 decoder");
  }

  step_result step(const std::uint8_t* input, std::size_t input_size, std::uint8_t* output, std::size_t output_size,
                   bool) override {
    bz_.next_in = reinterpret_cast<char*>(const_cast<std::uint8_t*>(input));
    bz_.avail_in = static_cast<unsigned>(std::min<std::size_t>(input_size, std::numeric_limits<unsigned>::max()));
    bz_.next_out = reinterpret_cast<char*>(output);
    bz_.avail_out = static_cast<unsigned>(std::min<std::size_t>(output_size, std::numeric_limits<unsigned>::max()));
    const unsigned in_before = bz_.avail_in;
    const unsigned out_before = bz_.avail_out;
    const int code = BZ2_bzDecompress(&bz_);
    if (code != BZ_OK && code != BZ_STREAM_END) throw corrupt_data(bzip2_reason(code));
    return {in_before - bz_.avail_in, out_before - bz_.avail_out, code == BZ_STREAM_END};
  }

  void next_stream() override {
    BZ2_bzDecompressEnd(&bz_);
    start();
  }

  bz_stream bz_{};
};

}  // namespace

std::unique_ptr<image_source> open_bzip2(byte_source& input) { return std::make_unique<bzip2_source>(input); }

}  // namespace image
