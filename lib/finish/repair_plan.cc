#include "finish/repair_plan.h"

#include <algorithm>

#include "device/block_io.h"

std::shared_ptr<const image::block_map> repair_map(const std::vector<byte_range>& ranges, std::uint64_t image_end,
                                                   std::uint64_t block_size) {
  auto map = std::make_shared<image::block_map>();
  map->image_size = image_end;
  map->block_size = block_size;
  for (const byte_range& r : ranges) {
    map->ranges.push_back({r.offset, std::min(r.end(), image_end), {}});
    map->mapped_bytes += map->ranges.back().end - r.offset;
  }
  return map;
}

std::size_t repair_write_length(std::uint64_t offset, std::size_t length, std::uint64_t drive_size) {
  const std::uint64_t room = drive_size > offset ? drive_size - offset : 0;
  return static_cast<std::size_t>(std::min<std::uint64_t>(block_io::whole_sectors(length), std::max<std::uint64_t>(room, length)));
}

std::vector<byte_range> merged_ranges(const std::vector<byte_range>& a, const std::vector<byte_range>& b) {
  std::vector<byte_range> all(a);
  all.insert(all.end(), b.begin(), b.end());
  std::sort(all.begin(), all.end(), [](const byte_range& x, const byte_range& y) { return x.offset < y.offset; });
  std::vector<byte_range> merged;
  for (const byte_range& r : all) {
    if (!merged.empty() && r.offset <= merged.back().end()) {
      merged.back().length = std::max(merged.back().end(), r.end()) - merged.back().offset;
    } else {
      merged.push_back(r);
    }
  }
  return merged;
}
