#pragma once
// Finds a counterfeit drive, one that reports more bytes than it keeps, before anything
// is written to it: unique signatures at offsets spread over the reported capacity
// must all read back from the medium as they were written.
#include <cstdint>
#include <vector>

namespace capacity_check {

// The offsets of the signatures: at least 64 (fewer on a drive under 256 KiB) on a
// grid of a power-of-two stride from offset 0, and the last 4 KiB. A drive that wraps
// its writes around at a multiple of the stride, or at a power of two, overwrites one
// of them with another.
std::vector<std::uint64_t> signature_offsets(std::uint64_t reported_size);

struct verdict {
  bool holds_all = true;
  // When not: about how many bytes the drive keeps, the lowest offset shown to lie
  // beyond what it really holds.
  std::uint64_t usable_estimate = 0;
};

// Writes every signature through `device_fd`, flushes, reads them back past the page
// cache through a second descriptor of the same file, and, when all came back, zeroes
// those that end past `keep_below` (what is below is to be overwritten). When one is
// missing or altered, nothing more is written. Throws std::runtime_error when the
// device cannot be opened for reading or the zeroing fails.
verdict run(int device_fd, std::uint64_t reported_size, std::uint64_t keep_below);

}  // namespace capacity_check
