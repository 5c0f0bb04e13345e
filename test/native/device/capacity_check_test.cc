#include "device/capacity_check.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(CapacityCheck, SignaturesCoverTheWholeDriveFromTheFirstToTheLastSector) {
  for (std::uint64_t size : {4096ull, 20480ull, 1ull << 30, 7680ull << 20, (2ull << 40) + 512}) {
    const auto offsets = capacity_check::signature_offsets(size);
    ASSERT_FALSE(offsets.empty()) << size;
    EXPECT_GE(offsets.size(), std::min<std::uint64_t>(64, size / 4096)) << size;
    EXPECT_EQ(offsets.front(), 0u) << size;
    EXPECT_EQ(offsets.back(), size - 4096) << size;
    EXPECT_TRUE(std::is_sorted(offsets.begin(), offsets.end()));
    EXPECT_EQ(std::adjacent_find(offsets.begin(), offsets.end()), offsets.end()) << size;
    // Evenly spread: no gap larger than twice the average, or than one signature.
    const std::uint64_t widest = std::max<std::uint64_t>(4096, 2 * size / 64);
    for (std::size_t i = 1; i < offsets.size(); ++i) EXPECT_LE(offsets[i] - offsets[i - 1], widest) << size;
  }
}

}  // namespace
