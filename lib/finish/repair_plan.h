#pragma once
// What a repair pass writes: the differing sectors, decoded again from the image through
// a block map of just those ranges, each chunk written as whole 4 KiB sectors (zeros
// past the image's end, as the write padded its last block) and never past the drive.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "flash/differing_ranges.h"
#include "image/block_map.h"

// The block map that reaches only `ranges` (ascending, inside the image) of an image
// whose compared part ends at `image_end`.
std::shared_ptr<const image::block_map> repair_map(const std::vector<byte_range>& ranges, std::uint64_t image_end,
                                                   std::uint64_t block_size);

// The bytes to write of a chunk of `length` image bytes at `offset`.
std::size_t repair_write_length(std::uint64_t offset, std::size_t length, std::uint64_t drive_size);

// The union of two ascending range lists, ascending and merged.
std::vector<byte_range> merged_ranges(const std::vector<byte_range>& a, const std::vector<byte_range>& b);
