#pragma once
// Finds the member of a zip archive that holds the image: the only one, or the
// largest. Reads the central directory (zip64 included); decoding is zlib's.
#include <cstdint>
#include <string>

#include "image/byte_source.h"

namespace image {

struct zip_member {
  std::string name;
  std::uint16_t method = 0;  // 0 stored, 8 deflated
  std::uint32_t crc32 = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t size = 0;
  std::uint64_t data_offset = 0;  // where the member's data starts in the archive
};

// Throws corrupt_data when the archive holds no readable directory or no member
// stored or deflated.
zip_member find_image_member(random_access& archive);

}  // namespace image
