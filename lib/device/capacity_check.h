#pragma once
// Finds a counterfeit drive, one that reports more bytes than it keeps, before anything
// is written to it: unique signatures at offsets spread over the reported capacity
// must all read back from the medium as they were written. The model is that of real
// counterfeit chips (f3probe's): writes past some size M are lost, or land at their
// offset modulo a power of two because address lines are missing. Both are found,
// whatever M: the last sector is always probed, and the grid's power-of-two stride
// makes any power-of-two wrap land one signature on another. A wrap at any other size
// is left to the verification. The drive is left as it was found, but where the image
// is about to write.
#include <cstdint>
#include <utility>
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

// Byte ranges [first, second) on the drive, in order.
using byte_ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// Reads what the drive holds at each signature's place past the page cache (through a
// second descriptor of the same file), writes every signature through `device_fd`,
// flushes, reads them back, then writes back what was there before at every place
// that `image_writes` does not cover whole, and flushes again. Throws a coded_error
// (EWRITE) when the device cannot be read or the contents cannot be put back.
verdict run(int device_fd, std::uint64_t reported_size, const byte_ranges& image_writes);

}  // namespace capacity_check
