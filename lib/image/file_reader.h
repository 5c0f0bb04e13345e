#pragma once
// Sequential reads of one region of a file through a window of buffered bytes: the
// input side of every decoder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/block_io.h"

namespace image {

class file_reader {
 public:
  // The region [start, start + length) of the file; by default the whole file.
  // Throws std::runtime_error when the file cannot be opened.
  explicit file_reader(const std::string& path, std::uint64_t start = 0, std::uint64_t length = UINT64_MAX);

  // The unread bytes of the window, refilled from the file when all were consumed.
  // Empty at the end of the region (or where the file cannot be read further).
  const std::uint8_t* data();
  std::size_t available();
  void advance(std::size_t count) { position_ += count; }

  // Bytes of the region consumed so far.
  std::uint64_t consumed() const { return consumed_before_ + position_; }

 private:
  void refill();

  block_io::unique_fd fd_;
  std::uint64_t next_offset_;
  std::uint64_t remaining_;
  std::vector<std::uint8_t> window_;
  std::size_t position_ = 0;
  std::size_t end_ = 0;
  std::uint64_t consumed_before_ = 0;
};

}  // namespace image
