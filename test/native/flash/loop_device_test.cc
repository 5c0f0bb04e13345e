// The jobs on a real block device: a loop device over a file of the test.
#include <fcntl.h>
#include <unistd.h>

#include "flash_fixture.h"

using flash_test::flash_fixture;

namespace {

class LoopDevice : public flash_fixture {
 protected:
  void SetUp() override {
    backing = dir.file("backing.img");
    test_support::write_bytes(backing, std::vector<std::uint8_t>(disk.size, 0xAA));
    loop = std::make_unique<test_support::loop_device>(backing);
    if (!loop->attached()) GTEST_SKIP() << loop->why_not();
    disk.name = loop->path().substr(5);  // "loopN"
    disk.path = loop->path();
    list_disks({disk});
  }
  std::string backing;
  std::unique_ptr<test_support::loop_device> loop;
};

}  // namespace

TEST_F(LoopDevice, WriteThenValidateOnABlockDevice) {
  auto device = make_device();
  choose(*device, 40 * 4096 + 123, 4096);
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"], "");
  run_validate(*device);
  EXPECT_EQ(stats(device->validate_stats)["numwriteerrs"], 0);

  ::sync();
  auto stored = test_support::read_bytes(backing);
  ASSERT_EQ(stored.size(), disk.size);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), stored.begin()));
  EXPECT_TRUE(std::all_of(stored.begin() + image.size(), stored.begin() + 41 * 4096, [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(stored.begin() + 41 * 4096, stored.end(), [](std::uint8_t b) { return b == 0xAA; }));
}

TEST_F(LoopDevice, ValidationReadsTheMediumNotTheCacheOfTheWrite) {
  // The kernel drops a block device's cache at its last close; another reader keeps
  // it open here, as desktop services often do with a freshly written stick.
  const int reader = ::open(loop->path().c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);
  auto device = make_device();
  choose(*device, 16 * 4096, 4096);
  run_write(*device);
  // Change one byte behind the loop device's cache, as a drive that lost data would.
  const int fd = ::open(backing.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const std::uint8_t altered = static_cast<std::uint8_t>(image[5 * 4096 + 9] ^ 0xff);
  ASSERT_EQ(::pwrite(fd, &altered, 1, 5 * 4096 + 9), 1);
  ::fsync(fd);
  ::close(fd);

  run_validate(*device, dir.file("report.txt"));
  ::close(reader);
  EXPECT_EQ(stats(device->validate_stats)["numwriteerrs"], 1);
}

TEST_F(LoopDevice, MountedPartitionKeepsTheWriteOut) {
  // The kernel refuses an exclusive open while another holder has the device: here
  // a second exclusive opener stands in for a mounted file system.
  const int holder = ::open(loop->path().c_str(), O_RDONLY | O_EXCL);
  ASSERT_GE(holder, 0);
  auto device = make_device();
  choose(*device, 8 * 4096, 4096);
  run_write(*device);
  ::close(holder);
  EXPECT_EQ(stats(device->write_stats)["errque"], "failed to open device: Device or resource busy");
  auto stored = test_support::read_bytes(backing);
  EXPECT_TRUE(std::all_of(stored.begin(), stored.end(), [](std::uint8_t b) { return b == 0xAA; }));
}

// An image that fits, whose padded last block would run past the end of the drive:
// the padding stops at the drive's end, and nothing is reported as failed.
TEST_F(LoopDevice, LastBlockIsPaddedOnlyToTheDrivesEnd) {
  const std::uint64_t block = disk.size / 4 * 3;
  auto device = make_device();
  choose(*device, block + 100, block);
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"], "");

  run_validate(*device);
  EXPECT_EQ(stats(device->validate_stats)["numwriteerrs"], 0);
  EXPECT_EQ(stats(device->validate_stats)["errque"], "");
  ::sync();
  const auto stored = test_support::read_bytes(backing);
  ASSERT_EQ(stored.size(), disk.size) << "the backing file keeps its size";
  EXPECT_TRUE(std::equal(image.begin(), image.end(), stored.begin()));
  EXPECT_TRUE(std::all_of(stored.begin() + image.size(), stored.end(), [](std::uint8_t b) { return b == 0; }))
      << "the rest of the drive holds the zero fill";
}
