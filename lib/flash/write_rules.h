#pragma once
// The rules a drive must meet for a job, in one place: the start checks of FlashDrive
// and the checks an application makes before it asks its user anything
// (check_targets) both ask them.
#include <cstdint>
#include <optional>
#include <string>

#include "drives/phydrive.h"

namespace write_rules {

// A job keeps one or two buffers of a block in memory.
constexpr std::uint64_t largest_block_size = std::uint64_t{256} << 20;

// Empty when `bytes` may be a block size on `drive`, else why not: not whole sectors,
// larger than the drive, or above largest_block_size.
std::string block_size_problem(std::uint64_t bytes, const phydrive& drive);

// Whether a job may write or read `drive`: removable or hot-pluggable, or a loop device,
// which only a listing that allows them holds.
bool may_target(const phydrive& drive);

// Whether an image of `decoded` bytes fits on `drive`; one of exactly the drive's size
// does. Where the size is unknown, the write stops before a byte would pass the end.
bool image_fits(std::optional<std::uint64_t> decoded, const phydrive& drive);

}  // namespace write_rules
