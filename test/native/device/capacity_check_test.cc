#include "device/capacity_check.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "test_support.h"

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

TEST(CapacityCheck, GenuineDrivePassesAndKeepsNoSignaturePastTheImage) {
  test_support::temp_dir dir;
  const std::string path = dir.file("drive.img");
  const std::uint64_t size = 1 << 20;
  const std::uint64_t image_end = size / 2 + 100;
  test_support::write_bytes(path, std::vector<std::uint8_t>(size, 0xAA));
  const int fd = ::open(path.c_str(), O_WRONLY | O_DSYNC);
  ASSERT_GE(fd, 0);
  const capacity_check::verdict verdict = capacity_check::run(fd, size, image_end);
  ::close(fd);
  EXPECT_TRUE(verdict.holds_all);

  auto stored = test_support::read_bytes(path);
  for (std::uint64_t offset : capacity_check::signature_offsets(size)) {
    const auto first = stored.begin() + static_cast<std::ptrdiff_t>(offset);
    const bool zeroed = std::all_of(first, first + 4096, [](std::uint8_t b) { return b == 0; });
    EXPECT_EQ(zeroed, offset + 4096 > image_end) << offset;  // what the image covers stays for it to overwrite
    std::fill(first, first + 4096, 0xAA);
  }
  EXPECT_EQ(stored, std::vector<std::uint8_t>(size, 0xAA)) << "only the signatures' own bytes changed";
}

}  // namespace
