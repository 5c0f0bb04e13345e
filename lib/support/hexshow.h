#pragma once
// Hex dump of a byte buffer on standard output, for diagnostics.
#include <cstdint>
#include <vector>

namespace hex {

// Shows bytes [startidx, min(breakidx, data.size())) with `width` bytes per line.
// Requires startidx <= breakidx and width >= 1.
void show(const std::vector<std::uint8_t>& data, std::uint64_t width, std::uint64_t startidx,
          std::uint64_t breakidx);

}  // namespace hex
