#pragma once
// A block map as bmaptool writes it (XML, versions 1.x and 2.0): the image size and
// the ranges of the image that hold data, each with its checksum.
#include <cstdint>
#include <string>
#include <vector>

namespace image {

struct mapped_range {
  std::uint64_t start = 0;  // first byte
  std::uint64_t end = 0;    // one past the last byte, never past the image's end
  std::string checksum;     // lower-case hex; empty when the map gives none
};

struct block_map {
  std::uint64_t image_size = 0;
  std::uint64_t block_size = 0;
  std::string checksum_type;  // "sha256", "sha1", or empty
  std::vector<mapped_range> ranges;  // ascending, not overlapping
  std::uint64_t mapped_bytes = 0;

  // Reads and checks the map. Throws coded_error (EIMAGE) "invalid block map: <reason>".
  static block_map read(const std::string& path);
  // The same for the map's text.
  static block_map parse(const std::string& text);

  // Throws std::runtime_error "block map does not fit the image: <reason>" when the
  // image's decoded size is not the one the map describes.
  void check_fits(std::uint64_t decoded_size) const;
};

}  // namespace image
