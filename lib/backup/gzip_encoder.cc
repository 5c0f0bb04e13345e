#include <zlib.h>

#include <algorithm>
#include <vector>

#include "backup/encoder.h"
#include "support/coded_error.h"

namespace backup {

namespace {

// gzip through zlib's deflate, on this thread: one member, as the gzip tool writes.
class gzip_encoder : public encoder {
 public:
  gzip_encoder(int level, staged_file& output) : output_(output), buffer_(1 << 20) {
    // 15 bits of window, and 16 more for the gzip header and trailer.
    if (deflateInit2(&stream_, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw coded_error(reason::output, "failed to set up the gzip encoder");
    }
  }
  ~gzip_encoder() override { deflateEnd(&stream_); }

  void write(const std::uint8_t* bytes, std::size_t size, bool) override {
    // zlib counts its input in 32 bits.
    for (std::size_t done = 0; done < size;) {
      const std::size_t part = std::min<std::size_t>(size - done, 1u << 30);
      stream_.next_in = const_cast<Bytef*>(bytes + done);
      stream_.avail_in = static_cast<uInt>(part);
      while (stream_.avail_in > 0) step(Z_NO_FLUSH);
      done += part;
    }
  }

  void finish() override {
    while (step(Z_FINISH) != Z_STREAM_END) {
    }
  }

 private:
  int step(int flush) {
    stream_.next_out = buffer_.data();
    stream_.avail_out = static_cast<uInt>(buffer_.size());
    const int code = deflate(&stream_, flush);
    if (code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR) {
      throw coded_error(reason::output, "gzip: deflate failed (" + std::to_string(code) + ")");
    }
    const std::size_t made = buffer_.size() - stream_.avail_out;
    if (made > 0) output_.write(buffer_.data(), made);
    return code;
  }

  staged_file& output_;
  z_stream stream_{};
  std::vector<std::uint8_t> buffer_;
};

}  // namespace

std::unique_ptr<encoder> encoders::gzip(int level, staged_file& output) {
  return std::make_unique<gzip_encoder>(level, output);
}

}  // namespace backup
