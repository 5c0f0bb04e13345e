#include "flash/differing_ranges.h"

#include <algorithm>

void differing_ranges::add(std::uint64_t position) {
  const std::uint64_t start = position / sector * sector;
  if (!ranges_.empty() && start <= ranges_.back().end()) {
    ranges_.back().length = std::max(ranges_.back().end(), start + sector) - ranges_.back().offset;
    return;
  }
  ranges_.push_back({start, sector});
}

std::vector<byte_range> differing_ranges::ranges(std::uint64_t limit) const {
  std::vector<byte_range> clipped;
  for (const byte_range& r : ranges_) {
    if (r.offset >= limit) break;
    clipped.push_back({r.offset, std::min(r.end(), limit) - r.offset});
  }
  return clipped;
}

std::uint64_t covered_bytes(const std::vector<byte_range>& ranges) {
  std::uint64_t bytes = 0;
  for (const byte_range& r : ranges) bytes += r.length;
  return bytes;
}
