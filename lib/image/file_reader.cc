#include "image/file_reader.h"
#include "support/coded_error.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace image {

namespace {
constexpr std::size_t window_size = 1 << 20;
}

file_reader::file_reader(const std::string& path, std::uint64_t start, std::uint64_t length)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), next_offset_(start), remaining_(length), window_(window_size) {
  if (!fd_.valid()) throw coded_error(reason::image, "failed to open image file");
  ::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
}

const std::uint8_t* file_reader::data() {
  if (position_ == end_) refill();
  return window_.data() + position_;
}

std::size_t file_reader::available() {
  if (position_ == end_) refill();
  return end_ - position_;
}

void file_reader::refill() {
  consumed_before_ += end_;
  position_ = end_ = 0;
  const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(window_.size(), remaining_));
  while (wanted > 0) {
    const ssize_t n = ::pread(fd_.get(), window_.data(), wanted, static_cast<off_t>(next_offset_));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    end_ = static_cast<std::size_t>(n);
    next_offset_ += end_;
    remaining_ -= end_;
    return;
  }
}

}  // namespace image
