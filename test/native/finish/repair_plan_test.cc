// What a repair writes again: whole 4 KiB sectors around the differing bytes, merged,
// stopped at the image's end, padded to a sector but never past the drive.
#include <gtest/gtest.h>

#include "finish/repair_plan.h"

TEST(RepairPlan, DifferingBytesBecomeWholeSectorsClippedAtTheImageEnd) {
  differing_ranges found;
  for (std::uint64_t position : {5, 4095, 4096, 3 * 4096 + 1, 3 * 4096 + 700}) found.add(position);
  EXPECT_EQ(found.ranges(13000), (std::vector<byte_range>{{0, 8192}, {12288, 712}}));

  const auto map = repair_map(found.ranges(13000), 13000, 8192);
  ASSERT_EQ(map->ranges.size(), 2u);
  EXPECT_EQ(map->ranges[1].end, 13000u);
  EXPECT_EQ(map->mapped_bytes, 8192u + 712u);
}

TEST(RepairPlan, WritesWholeSectorsButNotPastTheDrive) {
  EXPECT_EQ(repair_write_length(12288, 712, 1 << 20), 4096u);
  EXPECT_EQ(repair_write_length((1 << 20) - 1024, 100, 1 << 20), 1024u);
  EXPECT_EQ(repair_write_length(0, 8192, 1 << 20), 8192u);
}

TEST(RepairPlan, PassesMergeIntoOneAscendingList) {
  EXPECT_EQ(merged_ranges({{0, 4096}, {16384, 4096}}, {{4096, 4096}, {40960, 4096}}),
            (std::vector<byte_range>{{0, 8192}, {16384, 4096}, {40960, 4096}}));
}
