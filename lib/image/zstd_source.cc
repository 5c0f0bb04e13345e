#include <zstd.h>

#include "image/decoders.h"
#include "image/stream_source.h"

namespace image {

namespace {

// zstd through libzstd's streaming decoder; frames written one after another decode
// as one stream.
class zstd_source : public stream_source {
 public:
  explicit zstd_source(byte_source& input) : stream_source(input, 0, UINT64_MAX), context_(ZSTD_createDCtx()) {
    if (context_ == nullptr) throw coded_error(reason::image, "failed to set up the zstd decoder");
    // Frames may use windows up to 2 GiB (--long=31); refuse anything larger.
    ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, 31);
  }
  ~zstd_source() override { ZSTD_freeDCtx(context_); }

 private:
  step_result step(const std::uint8_t* input, std::size_t input_size, std::uint8_t* output, std::size_t output_size,
                   bool) override {
    ZSTD_inBuffer in{input, input_size, 0};
    ZSTD_outBuffer out{output, output_size, 0};
    const std::size_t code = ZSTD_decompressStream(context_, &out, &in);
    if (ZSTD_isError(code)) throw corrupt_data(ZSTD_getErrorName(code));
    // 0: a frame ended and was flushed whole.
    return {in.pos, out.pos, code == 0};
  }

  void next_stream() override {}  // the context starts the next frame by itself

  ZSTD_DCtx* context_;
};

}  // namespace

std::unique_ptr<image_source> open_zstd(byte_source& input) { return std::make_unique<zstd_source>(input); }

}  // namespace image
