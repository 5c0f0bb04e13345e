#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

#include "device/block_io.h"
#include "image/decoders.h"

namespace image {

namespace {

// The file's bytes as they are.
class raw_source : public image_source {
 public:
  explicit raw_source(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (!fd_.valid()) throw coded_error(reason::image, "failed to open image file");
    ::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  }

  std::size_t read(std::uint8_t* buffer, std::size_t size) override {
    const std::size_t got = block_io::read_full(fd_.get(), buffer, size);
    position_ += got;
    return got;
  }

  std::uint64_t skip(std::uint64_t count) override {
    const off_t end = ::lseek(fd_.get(), 0, SEEK_END);
    const std::uint64_t left = end > static_cast<off_t>(position_) ? static_cast<std::uint64_t>(end) - position_ : 0;
    const std::uint64_t skipped = std::min(count, left);
    position_ += skipped;
    ::lseek(fd_.get(), static_cast<off_t>(position_), SEEK_SET);
    return skipped;
  }

  std::uint64_t consumed() const override { return position_; }

 private:
  block_io::unique_fd fd_;
  std::uint64_t position_ = 0;
};

}  // namespace

std::unique_ptr<image_source> open_raw(const std::string& path) { return std::make_unique<raw_source>(path); }

}  // namespace image
