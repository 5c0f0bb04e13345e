#pragma once
// Where a drive differs from its image, in whole 4 KiB sectors merged into ranges:
// what a verification reports and what a repair writes again.
#include <cstdint>
#include <vector>

struct byte_range {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint64_t end() const { return offset + length; }
  bool operator==(const byte_range& other) const { return offset == other.offset && length == other.length; }
};

class differing_ranges {
 public:
  static constexpr std::uint64_t sector = 4096;

  // Notes that the byte at `position` differs. Positions come in ascending order.
  void add(std::uint64_t position);
  // The ranges noted, none reaching past `limit` (the image's end).
  std::vector<byte_range> ranges(std::uint64_t limit) const;
  bool empty() const { return ranges_.empty(); }

 private:
  std::vector<byte_range> ranges_;
};

// The bytes the ranges cover.
std::uint64_t covered_bytes(const std::vector<byte_range>& ranges);
