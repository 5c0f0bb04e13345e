// The block map written for an image, read back by the reader the write path uses.
#include <gtest/gtest.h>

#include "backup/block_map_writer.h"
#include "backup/zero_runs.h"
#include "image/block_map.h"
#include "image/range_checksum.h"
#include "test_support.h"

namespace {

TEST(BlockMapWriter, MapsTheBlocksThatHoldDataWithTheirChecksums) {
  constexpr std::size_t block = backup::block_map_writer::block_size;
  // Blocks 0-1 data, 2-4 zeros, 5 one byte, 6-7 zeros, 8 a partial block of data.
  std::vector<std::uint8_t> image = test_support::pattern_bytes(8 * block + 100, 5);
  std::fill(image.begin() + 2 * block, image.begin() + 8 * block, 0);
  image[5 * block + 17] = 1;
  backup::block_map_writer writer;
  // Fed in pieces that split a run, as chunks of a drive do.
  for (std::size_t at = 0; at < image.size(); at += 3 * block) {
    const std::size_t size = std::min(3 * block, image.size() - at);
    backup::for_each_run(image.data() + at, size, block,
                         [&](const std::uint8_t* run, std::size_t length, bool zero) { writer.add(run, length, zero); });
  }
  test_support::temp_dir dir;
  test_support::write_file(dir.file("image.bmap"), writer.finish());

  // The reader checks the map's own checksum and the order of its ranges.
  const image::block_map map = image::block_map::read(dir.file("image.bmap"));
  EXPECT_EQ(map.image_size, image.size());
  EXPECT_EQ(map.checksum_type, "sha256");
  const std::vector<std::pair<std::size_t, std::size_t>> expected = {
      {0, 2 * block}, {5 * block, 6 * block}, {8 * block, image.size()}};
  ASSERT_EQ(map.ranges.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(map.ranges[i].start, expected[i].first);
    EXPECT_EQ(map.ranges[i].end, expected[i].second);
    image::range_checksum sum("sha256");
    sum.update(image.data() + expected[i].first, expected[i].second - expected[i].first);
    EXPECT_EQ(map.ranges[i].checksum, sum.hex_digest()) << "range " << i;
  }
  EXPECT_EQ(writer.mapped_bytes(), map.mapped_bytes);
}

}  // namespace
