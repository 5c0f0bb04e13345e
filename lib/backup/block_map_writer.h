#pragma once
// The block map of an image as bmaptool writes it (format 2.0): the ranges of 4 KiB
// blocks that hold data, each with its SHA-256, and the SHA-256 of the map itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/range_checksum.h"

namespace backup {

class block_map_writer {
 public:
  static constexpr std::uint64_t block_size = 4096;

  // The image's next bytes, in order; `zero` for whole blocks of zeros, which the map
  // leaves out. Runs start and end on block boundaries but for the image's last block.
  void add(const std::uint8_t* bytes, std::size_t size, bool zero);
  // The map's text for the bytes added so far.
  std::string finish();

  std::uint64_t mapped_bytes() const { return mapped_bytes_; }

 private:
  struct range {
    std::uint64_t first_block;
    std::uint64_t last_block;
    std::string sha256;
  };
  void close_range();

  std::uint64_t position_ = 0;
  bool in_range_ = false;
  std::uint64_t range_start_ = 0;
  std::uint64_t mapped_bytes_ = 0;
  image::range_checksum checksum_{"sha256"};
  std::vector<range> ranges_;
};

}  // namespace backup
