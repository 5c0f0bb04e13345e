#include "image/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "device/block_io.h"
#include "support/coded_error.h"

namespace image {

namespace {

constexpr std::size_t window_size = 1 << 20;

block_io::unique_fd open_image_file(const std::string& path, int open_flags) {
  block_io::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | open_flags));
  if (!fd.valid()) throw coded_error(reason::image, "failed to open image file", errno);
  return fd;
}

class file_input : public byte_input {
 public:
  explicit file_input(block_io::unique_fd fd) : fd_(std::move(fd)) {
    ::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  }

  std::size_t read(std::uint8_t* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t n = ::pread(fd_.get(), buffer, size, static_cast<off_t>(offset_));
      if (n < 0 && errno == EINTR) continue;
      // A read error ends the file, as it always has: the decoder or the short block says so.
      if (n <= 0) return 0;
      offset_ += static_cast<std::uint64_t>(n);
      return static_cast<std::size_t>(n);
    }
  }

  std::uint64_t pass_over(std::uint64_t count) override {
    struct stat status {};
    if (::fstat(fd_.get(), &status) != 0) return 0;
    const auto size = static_cast<std::uint64_t>(status.st_size);
    const std::uint64_t passed = std::min(count, size > offset_ ? size - offset_ : 0);
    offset_ += passed;
    return passed;
  }

 private:
  block_io::unique_fd fd_;
  std::uint64_t offset_ = 0;
};

class file_access : public random_access {
 public:
  explicit file_access(block_io::unique_fd fd) : fd_(std::move(fd)) {
    struct stat status {};
    if (::fstat(fd_.get(), &status) == 0) size_ = static_cast<std::uint64_t>(status.st_size);
  }
  std::uint64_t size() const override { return size_; }
  bool read_at(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override {
    return block_io::read_full_at(fd_.get(), buffer, size, offset) == size;
  }

 private:
  block_io::unique_fd fd_;
  std::uint64_t size_ = 0;
};

}  // namespace

std::unique_ptr<byte_input> open_file_input(const std::string& path, int open_flags) {
  return std::make_unique<file_input>(open_image_file(path, open_flags));
}

std::unique_ptr<random_access> open_file_access(const std::string& path, int open_flags) {
  return std::make_unique<file_access>(open_image_file(path, open_flags));
}

byte_source::byte_source(std::unique_ptr<byte_input> input) : input_(std::move(input)), window_(window_size) {}

bool byte_source::fill() {
  if (position_ == end_) {
    position_ = end_ = 0;
  } else if (end_ == window_.size()) {
    std::memmove(window_.data(), window_.data() + position_, end_ - position_);
    end_ -= position_;
    position_ = 0;
  }
  const std::size_t got = input_->read(window_.data() + end_, window_.size() - end_);
  for (byte_observer* observer : observers_) observer->observe(window_.data() + end_, got);
  end_ += got;
  taken_ += got;
  return got > 0;
}

const std::uint8_t* byte_source::data() {
  if (position_ == end_) fill();
  return window_.data() + position_;
}

std::size_t byte_source::available() {
  if (position_ == end_) fill();
  return end_ - position_;
}

std::vector<std::uint8_t> byte_source::peek(std::size_t count) {
  while (end_ - position_ < count && fill()) {
  }
  const std::size_t n = std::min(count, end_ - position_);
  return {window_.data() + position_, window_.data() + position_ + n};
}

std::size_t byte_source::take(std::uint8_t* buffer, std::size_t size) {
  const std::size_t n = std::min(size, end_ - position_);
  if (buffer != nullptr) std::memcpy(buffer, window_.data() + position_, n);
  position_ += n;
  return n;
}

std::size_t byte_source::read(std::uint8_t* buffer, std::size_t size) {
  std::size_t done = take(buffer, size);
  // Large reads go straight from the input into the caller's buffer.
  while (done < size) {
    const std::size_t got = input_->read(buffer + done, size - done);
    if (got == 0) break;
    for (byte_observer* observer : observers_) observer->observe(buffer + done, got);
    taken_ += got;
    done += got;
  }
  return done;
}

std::uint64_t byte_source::skip(std::uint64_t count) {
  std::uint64_t done = take(nullptr, static_cast<std::size_t>(std::min<std::uint64_t>(count, end_ - position_)));
  if (observers_.empty() && done < count) {
    const std::uint64_t passed = input_->pass_over(count - done);
    taken_ += passed;
    done += passed;
  }
  while (done < count && fill()) done += take(nullptr, static_cast<std::size_t>(std::min<std::uint64_t>(count - done, end_ - position_)));
  return done;
}

}  // namespace image
