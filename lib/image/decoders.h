#pragma once
// One image source per format, each over its library, decoding the stored bytes of
// `input` (which outlives it).
#include <memory>

#include "image/byte_source.h"
#include "image/image_source.h"

namespace image {

std::unique_ptr<image_source> open_raw(byte_source& input);
std::unique_ptr<image_source> open_gzip(byte_source& input);
std::unique_ptr<image_source> open_xz(byte_source& input);
std::unique_ptr<image_source> open_zstd(byte_source& input);
std::unique_ptr<image_source> open_bzip2(byte_source& input);
// The member is found in the archive's directory, read through `archive`.
std::unique_ptr<image_source> open_zip(byte_source& input, random_access& archive);

}  // namespace image
