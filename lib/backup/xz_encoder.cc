#include <lzma.h>

#include <vector>

#include "backup/encoder.h"
#include "support/coded_error.h"

namespace backup {

namespace {

// Memory the encoder's threads may take together: fewer threads where more would not fit.
constexpr std::uint64_t memory_limit = 1024ull << 20;

std::string lzma_reason(lzma_ret code) {
  switch (code) {
    case LZMA_MEM_ERROR: return "out of memory";
    case LZMA_OPTIONS_ERROR: return "unsupported options";
    default: return "error " + std::to_string(static_cast<int>(code));
  }
}

// xz through liblzma's multi-threaded encoder: the image in blocks (three times the
// dictionary each), compressed in parallel and each recording its sizes, so that a
// multi-threaded decoder (ours, xz -T0) decodes them in parallel too.
class xz_encoder : public encoder {
 public:
  xz_encoder(int level, staged_file& output) : output_(output), buffer_(1 << 20) {
    lzma_mt options{};
    options.preset = static_cast<std::uint32_t>(level);
    options.check = LZMA_CHECK_CRC64;
    options.threads = online_cpus();
    while (options.threads > 1 && lzma_stream_encoder_mt_memusage(&options) > memory_limit) options.threads -= 1;
    const lzma_ret code = lzma_stream_encoder_mt(&stream_, &options);
    if (code != LZMA_OK) throw coded_error(reason::output, "failed to set up the xz encoder: " + lzma_reason(code));
  }
  ~xz_encoder() override { lzma_end(&stream_); }

  void write(const std::uint8_t* bytes, std::size_t size, bool) override {
    stream_.next_in = bytes;
    stream_.avail_in = size;
    while (stream_.avail_in > 0) step(LZMA_RUN);
  }

  void finish() override {
    while (step(LZMA_FINISH) != LZMA_STREAM_END) {
    }
  }

 private:
  lzma_ret step(lzma_action action) {
    stream_.next_out = buffer_.data();
    stream_.avail_out = buffer_.size();
    const lzma_ret code = lzma_code(&stream_, action);
    if (code != LZMA_OK && code != LZMA_STREAM_END) throw coded_error(reason::output, "xz: " + lzma_reason(code));
    const std::size_t made = buffer_.size() - stream_.avail_out;
    if (made > 0) output_.write(buffer_.data(), made);
    return code;
  }

  staged_file& output_;
  lzma_stream stream_ = LZMA_STREAM_INIT;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace

std::unique_ptr<encoder> encoders::xz(int level, staged_file& output) {
  return std::make_unique<xz_encoder>(level, output);
}

}  // namespace backup
