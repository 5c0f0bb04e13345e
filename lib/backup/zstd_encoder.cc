#include <zstd.h>

#include <vector>

#include "backup/encoder.h"
#include "support/coded_error.h"

namespace backup {

namespace {

// zstd through libzstd's streaming compressor, its workers on every online processor:
// one frame with the image's size and a content checksum, as the zstd tool writes.
class zstd_encoder : public encoder {
 public:
  zstd_encoder(int level, std::uint64_t image_size, staged_file& output)
      : output_(output), context_(ZSTD_createCCtx()), buffer_(ZSTD_CStreamOutSize() * 8) {
    if (context_ == nullptr) throw coded_error(reason::output, "failed to set up the zstd encoder");
    check(ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, level));
    check(ZSTD_CCtx_setParameter(context_, ZSTD_c_checksumFlag, 1));
    check(ZSTD_CCtx_setPledgedSrcSize(context_, image_size));
    // A library built without threads refuses workers: it compresses on this thread then.
    ZSTD_CCtx_setParameter(context_, ZSTD_c_nbWorkers, static_cast<int>(online_cpus()));
  }
  ~zstd_encoder() override { ZSTD_freeCCtx(context_); }

  void write(const std::uint8_t* bytes, std::size_t size, bool) override {
    ZSTD_inBuffer in{bytes, size, 0};
    while (in.pos < in.size) step(in, ZSTD_e_continue);
  }

  void finish() override {
    ZSTD_inBuffer none{nullptr, 0, 0};
    while (step(none, ZSTD_e_end) != 0) {
    }
  }

 private:
  // One call of the compressor; its output goes to the file. Returns what is left to flush.
  std::size_t step(ZSTD_inBuffer& in, ZSTD_EndDirective directive) {
    ZSTD_outBuffer out{buffer_.data(), buffer_.size(), 0};
    const std::size_t left = check(ZSTD_compressStream2(context_, &out, &in, directive));
    if (out.pos > 0) output_.write(buffer_.data(), out.pos);
    return left;
  }

  static std::size_t check(std::size_t code) {
    if (ZSTD_isError(code)) throw coded_error(reason::output, std::string("zstd: ") + ZSTD_getErrorName(code));
    return code;
  }

  staged_file& output_;
  ZSTD_CCtx* context_;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace

std::unique_ptr<encoder> encoders::zstd(int level, std::uint64_t image_size, staged_file& output) {
  return std::make_unique<zstd_encoder>(level, image_size, output);
}

}  // namespace backup
