#include "backup/encoder.h"

#include <unistd.h>

namespace backup {

namespace {

// The raw image, its runs of zero blocks left as holes of the file.
class raw_encoder : public encoder {
 public:
  explicit raw_encoder(staged_file& output) : output_(output) {}
  void write(const std::uint8_t* bytes, std::size_t size, bool zero) override {
    zero ? output_.skip_zeros(size) : output_.write(bytes, size);
  }
  void finish() override {}
  bool sparse() const override { return true; }

 private:
  staged_file& output_;
};

}  // namespace

unsigned online_cpus() {
  const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1;
}

std::unique_ptr<encoder> encoders::raw(staged_file& output) { return std::make_unique<raw_encoder>(output); }

std::unique_ptr<encoder> make_encoder(output_format format, int level, std::uint64_t image_size, staged_file& output) {
  switch (format) {
    case output_format::zstd: return encoders::zstd(level, image_size, output);
    case output_format::xz: return encoders::xz(level, output);
    case output_format::gzip: return encoders::gzip(level, output);
    case output_format::raw: break;
  }
  return encoders::raw(output);
}

}  // namespace backup
