#include <lzma.h>
#include <unistd.h>

#include "image/decoders.h"
#include "image/stream_source.h"

namespace image {

namespace {

// Memory the decoder may take: threads beyond what fits fall back to fewer threads;
// past the hard limit the image is refused rather than the host exhausted.
constexpr std::uint64_t threaded_memory_limit = 512ull << 20;
constexpr std::uint64_t hard_memory_limit = 2048ull << 20;

std::string lzma_reason(lzma_ret code) {
  switch (code) {
    case LZMA_FORMAT_ERROR: return "not xz data";
    case LZMA_OPTIONS_ERROR: return "unsupported xz options";
    case LZMA_DATA_ERROR: return "xz data is corrupt";
    case LZMA_BUF_ERROR: return "xz data is truncated";
    case LZMA_MEM_ERROR: return "out of memory";
    case LZMA_MEMLIMIT_ERROR: return "xz data needs more memory than allowed";
    default: return "xz error " + std::to_string(static_cast<int>(code));
  }
}

std::uint32_t online_cpus() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<std::uint32_t>(n) : 1;
}

// xz through liblzma's multi-threaded decoder: images compressed in blocks decode on
// every online CPU; concatenated streams and stream padding are taken as one stream.
class xz_source : public stream_source {
 public:
  explicit xz_source(byte_source& input) : stream_source(input, 0, UINT64_MAX) {
    lzma_mt options{};
    options.flags = LZMA_CONCATENATED;
    options.threads = online_cpus();
    options.memlimit_threading = threaded_memory_limit;
    options.memlimit_stop = hard_memory_limit;
    const lzma_ret code = lzma_stream_decoder_mt(&stream_, &options);
    if (code != LZMA_OK) throw coded_error(reason::image, "failed to set up the xz decoder: " + lzma_reason(code));
  }
  ~xz_source() override { lzma_end(&stream_); }

 private:
  step_result step(const std::uint8_t* input, std::size_t input_size, std::uint8_t* output, std::size_t output_size,
                   bool input_ended) override {
    stream_.next_in = input;
    stream_.avail_in = input_size;
    stream_.next_out = output;
    stream_.avail_out = output_size;
    const lzma_ret code = lzma_code(&stream_, input_ended ? LZMA_FINISH : LZMA_RUN);
    if (code != LZMA_OK && code != LZMA_STREAM_END) throw corrupt_data(lzma_reason(code));
    return {input_size - stream_.avail_in, output_size - stream_.avail_out, code == LZMA_STREAM_END};
  }

  lzma_stream stream_ = LZMA_STREAM_INIT;
};

}  // namespace

std::unique_ptr<image_source> open_xz(byte_source& input) { return std::make_unique<xz_source>(input); }

}  // namespace image
