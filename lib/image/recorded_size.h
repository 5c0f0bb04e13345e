#pragma once
// The decoded size where a compressed format records it, read without decoding.
#include <cstdint>
#include <optional>

#include "image/byte_source.h"

namespace image {

// From the index of every stream of the file; none when the index cannot be read.
std::optional<std::uint64_t> xz_recorded_size(random_access& file);
// The sum of the content sizes of every frame; none when a frame does not record it.
std::optional<std::uint64_t> zstd_recorded_size(random_access& file);

}  // namespace image
