// A drive read through the reader: its bytes up to the extent, whatever the caller's steps.
#include <gtest/gtest.h>

#include "backup/drive_reader.h"
#include "test_support.h"

namespace {

TEST(DriveReader, GivesTheBytesUpToTheExtent) {
  test_support::temp_dir dir;
  const std::string drive = dir.file("drive");
  const auto bytes = test_support::pattern_bytes(3 * backup::drive_reader::request_size + 8192, 9);
  test_support::write_bytes(drive, bytes);
  // More than the reader keeps in flight, not a whole number of its requests.
  const std::uint64_t extent = 2 * backup::drive_reader::request_size + 4096 + 512;
  backup::drive_reader reader(backup::open_drive(drive), extent);

  std::vector<std::uint8_t> read(extent + 1000);
  std::size_t done = 0;
  for (std::size_t step = 1000; done < read.size(); step = step * 3 + 1) {
    const std::size_t got = reader.read(read.data() + done, std::min(step, read.size() - done));
    done += got;
    if (got == 0) break;
  }
  ASSERT_EQ(done, extent);
  EXPECT_TRUE(std::equal(read.begin(), read.begin() + extent, bytes.begin()));
  EXPECT_EQ(reader.consumed(), extent);
}

TEST(DriveReader, RefusesAMissingDrive) {
  try {
    backup::open_drive("/nonexistent/drive");
    FAIL() << "opened";
  } catch (const coded_error& e) {
    EXPECT_EQ(e.why(), reason::read);
    EXPECT_EQ(e.error_number(), ENOENT);
  }
}

}  // namespace
