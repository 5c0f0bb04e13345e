// The jobs on a real block device: a loop device over a file of the test.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

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

// The validation right after the write reads the drive alone, yet counts and lists a
// byte that changed on the medium exactly as the full comparison does.
TEST_F(LoopDevice, HashComparisonFindsWhatTheFullComparisonFinds) {
  const int reader = ::open(loop->path().c_str(), O_RDONLY);  // keeps the device's cache
  ASSERT_GE(reader, 0);
  auto device = make_device();
  choose(*device, 30 * 4096 + 99, 16384);
  device->set_validate_block_size(4096);
  run_write(*device);
  const std::uint64_t changed = 13 * 4096 + 21;
  const int fd = ::open(backing.c_str(), O_WRONLY);
  const std::uint8_t altered = static_cast<std::uint8_t>(image[changed] ^ 0x11);
  ASSERT_EQ(::pwrite(fd, &altered, 1, changed), 1);
  ::fsync(fd);
  ::close(fd);

  run_validate(*device, dir.file("by-hash.txt"));
  device->set_image(image_path);  // no record now: the full comparison
  run_validate(*device, dir.file("full.txt"));
  ::close(reader);
  EXPECT_EQ(stats(device->validate_stats)["numwriteerrs"], 1);
  const std::string full = test_support::read_file(dir.file("full.txt"));
  EXPECT_NE(full.find("\n          53269             13             21"), std::string::npos) << full;
  EXPECT_EQ(test_support::read_file(dir.file("by-hash.txt")), full);
}

// Direct writes reach the medium on a block device, and fall back to synchronous
// writes on a file of a ramfs, which refuses O_DIRECT.
TEST_F(LoopDevice, DirectWriteModeOnABlockDeviceAndOnRamfs) {
  const std::string ramfs = dir.file("ramfs");
  std::filesystem::create_directory(ramfs);
  ASSERT_EQ(std::system(("mount -t ramfs none " + ramfs).c_str()), 0);
  const std::unique_ptr<const std::string, void (*)(const std::string*)> unmount(
      &ramfs, [](const std::string* path) { std::system(("umount " + *path).c_str()); });
  for (const std::string path : {loop->path(), ramfs + "/drive.img"}) {
    if (path.rfind("/dev/loop", 0) != 0) {
      test_support::write_bytes(path, std::vector<std::uint8_t>(disk.size, 0xAA));
      disk.path = path;
      disk.name = "fakesd";
      list_disks({disk});
    }
    auto device = make_device();
    choose(*device, 50 * 4096 + 5, 8192);
    device->set_write_mode(write_mode::direct);
    run_write(*device);
    EXPECT_EQ(stats(device->write_stats)["errque"], "") << path;
    ::sync();
    const auto stored = test_support::read_bytes(path.rfind("/dev/loop", 0) == 0 ? backing : path);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), stored.begin())) << path;
  }
}

// A cancel with writes in flight: when the job reports its end, the kernel holds none
// of its requests (the queue is gone) and the device is free.
TEST_F(LoopDevice, CancelledDirectWriteLeavesNothingInFlight) {
  auto device = make_device();
  choose(*device, disk.size / 2, 4096);
  device->set_write_mode(write_mode::direct);
  flash_test::job_end end;
  device->write_async(end.callback());
  device->request_cancel_write();
  ASSERT_TRUE(end.wait());
  EXPECT_EQ(stats(device->write_stats)["completed"], 0.0);
  for (const auto& link : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    EXPECT_EQ(std::filesystem::read_symlink(link.path(), ignored).string().find("io_uring"), std::string::npos);
  }
  const int exclusive = ::open(loop->path().c_str(), O_WRONLY | O_EXCL);
  EXPECT_GE(exclusive, 0) << "the job let go of the device";
  ::close(exclusive);
}
