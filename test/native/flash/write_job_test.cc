#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "flash_fixture.h"

using flash_test::failure_of;
using flash_test::flash_fixture;
using flash_test::fake_disk;
using flash_test::job_end;
using test_support::read_bytes;
using test_support::scoped_env;

namespace {

// The drive's bytes [from, to).
std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to) {
  return std::vector<std::uint8_t>(bytes.begin() + from, bytes.begin() + to);
}

bool all_equal(const std::vector<std::uint8_t>& bytes, std::uint8_t value) {
  return std::all_of(bytes.begin(), bytes.end(), [value](std::uint8_t b) { return b == value; });
}

class WriteJob : public flash_fixture {
 protected:
  // Fills the drive with 0xAA, so padding (zeros) and untouched bytes can be told apart.
  void mark_drive() { test_support::write_bytes(disk.path, std::vector<std::uint8_t>(disk.size, 0xAA)); }
};

}  // namespace

TEST_F(WriteJob, WholeBlocksAndAZeroPaddedResidualBlock) {
  auto device = make_device();
  prepare(*device, 3 * 4096 + 100, 4096);
  mark_drive();
  run_write(*device);

  auto drive = read_bytes(disk.path);
  EXPECT_EQ(slice(drive, 0, image.size()), image);
  EXPECT_TRUE(all_equal(slice(drive, image.size(), 4 * 4096), 0)) << "residual block padded with zeros";
  EXPECT_TRUE(all_equal(slice(drive, 4 * 4096, drive.size()), 0xAA)) << "nothing written past the last block";

  auto stats = this->stats(device->write_stats);
  EXPECT_EQ(stats["completed"], 100.0);
  EXPECT_EQ(stats["errque"], "");
  EXPECT_EQ(stats["numerrs"], 0);
  EXPECT_EQ(stats["numwriteerrs"], 0);
  EXPECT_EQ(stats["speed"], 0.0);
  EXPECT_EQ(stats["eta"], 0.0);
}

TEST_F(WriteJob, ExactWholeBlocksWriteNoResidualBlock) {
  auto device = make_device();
  prepare(*device, 2 * 4096, 4096);
  mark_drive();
  run_write(*device);
  auto drive = read_bytes(disk.path);
  EXPECT_EQ(slice(drive, 0, image.size()), image);
  EXPECT_TRUE(all_equal(slice(drive, image.size(), drive.size()), 0xAA));
}

TEST_F(WriteJob, ImageSmallerThanABlockIsOnePaddedBlockAndNoSample) {
  auto device = make_device();
  prepare(*device, 700, 4096);
  mark_drive();
  run_write(*device);
  auto drive = read_bytes(disk.path);
  EXPECT_EQ(slice(drive, 0, 700), image);
  EXPECT_TRUE(all_equal(slice(drive, 700, 4096), 0));
  EXPECT_TRUE(all_equal(slice(drive, 4096, drive.size()), 0xAA));
  auto stats = this->stats(device->write_stats);
  EXPECT_EQ(stats["completed"], 100.0);
  EXPECT_EQ(stats["speedavg"], 0.0) << "no whole block, so no sample";
}

TEST_F(WriteJob, SamplesEveryFourHundredBlocks) {
  disk.size = 4 << 20;
  list_disks({disk});
  auto device = make_device();
  prepare(*device, 801 * 512, 512);
  run_write(*device);
  auto snapshot = device->write_stats.snapshot();
  // Samples after blocks 0, 400 and 800; the implausibly fast ones are not folded.
  EXPECT_LE(snapshot.numsamples, 3u);
  EXPECT_EQ(snapshot.completed, 100.0);
  EXPECT_EQ(read_bytes(disk.path).size(), disk.size);
}

TEST_F(WriteJob, StartChecksRunInOrderWithTheirMessages) {
  scoped_env user("FAKE_WHOAMI", "alice");
  auto device = make_device();
  auto refused = [&]() -> std::string {
    try {
      device->write_async();
    } catch (const coded_error& e) {
      return std::string(reason_code(e.why())) + ": " + e.what();
    }
    return "accepted";
  };
  EXPECT_EQ(refused(), "ENODRIVE: required drive is unavailable or not set");

  fake_disk internal = disk;
  internal.name = "fixed";
  internal.removable = false;
  internal.hotplug = false;
  list_disks({disk, internal});
  EXPECT_THROW(device->set_drive("fixed"), std::runtime_error);
  device->drive = device->drive_model.get_drive("fixed");  // as a caller of the engine may set it
  EXPECT_EQ(refused(), "ENODRIVE: drive is not external/removable");

  prepare(*device, 4096, 4096);
  device->set_image(image_path);
  device->password.clear();  // a caller that never gave one
  EXPECT_EQ(refused(), "EPASSWORD: password is not set");
  device->password = "secret";  // stored as a refused setPassword leaves it

  device->image_path.clear();
  EXPECT_EQ(refused(), "EIMAGE: no image file provided");
  device->set_image(image_path);

  device->set_write_block_size(0);
  EXPECT_EQ(refused(), "EWRITE: invalid write block size");
  device->set_write_block_size(1000);
  EXPECT_EQ(refused(), "EWRITE: invalid write block size");

  test_support::write_bytes(image_path, std::vector<std::uint8_t>(disk.size + 512, 1));
  device->set_image(image_path);
  device->set_write_block_size(4096);
  EXPECT_EQ(refused(), "ETOOSMALL: drive is too small for given image");
}

TEST_F(WriteJob, ImageOfExactlyTheDrivesSizeIsWritten) {
  auto device = make_device();
  prepare(*device, disk.size, 4096);
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["completed"], 100);
  EXPECT_EQ(test_support::read_bytes(disk.path), image);
}

TEST_F(WriteJob, RefusedStartLeavesThePreviousStatisticsAlone) {
  auto device = make_device();
  prepare(*device, 4096, 4096);
  run_write(*device);
  const std::string finished = device->write_stats.get_json();
  device->set_write_block_size(1000);
  EXPECT_THROW(device->write_async(), std::runtime_error);
  EXPECT_EQ(device->write_stats.get_json(), finished);
}

TEST_F(WriteJob, HotPluggableFixedDriveIsAccepted) {
  disk.removable = false;
  disk.hotplug = true;
  list_disks({disk});
  auto device = make_device();
  prepare(*device, 4096, 4096);
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"], "");
}

TEST_F(WriteJob, RootRunsNoPermissionCommand) {
  scoped_env user("FAKE_WHOAMI", "root");
  auto device = make_device();
  prepare(*device, 4096, 4096);
  run_write(*device);
  EXPECT_TRUE(tools.calls_of("sudo").empty());
  EXPECT_EQ(stats(device->write_stats)["errque"], "");
}

TEST_F(WriteJob, NonRootGrantsTheNodeThenUnmountsThenRestoresIt) {
  scoped_env user("FAKE_WHOAMI", "alice");
  scoped_env accepted("FAKE_SUDO_PASSWORD", "pass word'$(x)");
  disk.children = nlohmann::json::array({{{"name", "fakesd1"},
                                          {"path", dir.file("drive.img-part1")},
                                          {"type", "part"},
                                          {"size", 4096},
                                          {"mountpoint", "/media/stick"}}});
  list_disks({disk});
  auto device = make_device();
  prepare(*device, 8192, 4096);
  device->password = "pass word'$(x)";
  ::chmod(disk.path.c_str(), 0640);
  run_write(*device);

  std::vector<std::string> relevant;
  for (const auto& call : tools.calls()) {
    if (call.rfind("sudo", 0) == 0 || call.rfind("udisksctl", 0) == 0) relevant.push_back(call);
  }
  ASSERT_EQ(relevant.size(), 3u);
  EXPECT_EQ(relevant[0], "sudo -S -k setfacl -m u:" + std::to_string(::getuid()) + ":rw -- " + disk.path + " [accepted]");
  EXPECT_EQ(relevant[1], "udisksctl unmount --block-device " + dir.file("drive.img-part1"));
  EXPECT_EQ(relevant[2].rfind("sudo -S -k setfacl --set ", 0), 0u) << relevant[2];
  for (const auto& call : tools.calls()) EXPECT_EQ(call.find("pass word"), std::string::npos) << call;

  struct stat status {};
  ::stat(disk.path.c_str(), &status);
  EXPECT_EQ(status.st_mode & 07777, 0640u) << "permission bits back as they were";
  EXPECT_EQ(stats(device->write_stats)["errque"], "");
}

TEST_F(WriteJob, WrongSudoPasswordIsRecordedAndTheJobGoesOn) {
  scoped_env user("FAKE_WHOAMI", "alice");
  scoped_env accepted("FAKE_SUDO_PASSWORD", "right");
  auto device = make_device();
  prepare(*device, 4096, 4096);
  device->password = "wrong";
  run_write(*device);
  auto stats = this->stats(device->write_stats);
  EXPECT_EQ(stats["errque"], "failed to alter permissions");
  EXPECT_EQ(stats["numerrs"], 1) << "nothing granted, nothing to put back";
  EXPECT_EQ(stats["completed"], 100.0);
}

TEST_F(WriteJob, FailedUnmountWritesNothing) {
  scoped_env failing("FAKE_UDISKSCTL_STATUS", "1");
  scoped_env user("FAKE_WHOAMI", "alice");
  disk.children = nlohmann::json::array(
      {{{"name", "fakesd1"}, {"path", dir.file("p1")}, {"type", "part"}, {"mountpoint", "/media/x"}}});
  list_disks({disk});
  auto device = make_job_device();
  prepare(*device, 8192, 4096);
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"],
            "failed to unmount device: mount attempt #3 failed:failed to unmount " + dir.file("p1") +
                " from /media/x: Error unmounting " + dir.file("p1") + ": failed");
  EXPECT_EQ(tools.calls_of("udisksctl").size(), 4u);
  EXPECT_TRUE(all_equal(read_bytes(disk.path), 0));
}

TEST_F(WriteJob, UnopenableImageWritesNothing) {
  auto device = make_device();
  prepare(*device, 8192, 4096);
  ::unlink(image_path.c_str());
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"], "failed to open image file");
  EXPECT_TRUE(all_equal(read_bytes(disk.path), 0));
}

TEST_F(WriteJob, UnopenableDeviceIsReportedWithTheSystemReason) {
  scoped_env user("FAKE_WHOAMI", "root");  // a caller that is not root fails earlier, at chmod
  auto device = make_device();
  prepare(*device, 8192, 4096);
  ::unlink(disk.path.c_str());
  run_write(*device);
  auto stats = this->stats(device->write_stats);
  EXPECT_EQ(stats["errque"], "failed to open device: No such file or directory");
  EXPECT_EQ(stats["numerrs"], 1) << "one failure, not one per block";
  EXPECT_NE(::access(disk.path.c_str(), F_OK), 0) << "the device node is never created";
}

TEST_F(WriteJob, ShrunkImageStopsAtTheFirstMissingBlock) {
  auto device = make_device();
  prepare(*device, 4 * 4096, 4096);
  device->set_first_block_last(false);  // in the image's order, what came before the stop shows
  mark_drive();
  ASSERT_EQ(::truncate(image_path.c_str(), 2 * 4096 + 10), 0);
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"], "failed to read image block #2 with 10/4096 bytes");
  auto drive = read_bytes(disk.path);
  EXPECT_EQ(slice(drive, 0, 2 * 4096), slice(image, 0, 2 * 4096));
  EXPECT_TRUE(all_equal(slice(drive, 2 * 4096, drive.size()), 0xAA)) << "no byte of unknown origin written";
}

TEST_F(WriteJob, ShrunkImageLosesItsResidualBlockRatherThanPaddingGarbage) {
  auto device = make_device();
  prepare(*device, 4096 + 300, 4096);
  mark_drive();
  ASSERT_EQ(::truncate(image_path.c_str(), 4096 + 100), 0);
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"], "failed to read image residual block with 100/300 bytes");
  auto drive = read_bytes(disk.path);
  EXPECT_TRUE(all_equal(slice(drive, 4096, drive.size()), 0xAA));
}

TEST_F(WriteJob, FailingDriveRecordsEveryBlockAndEnds) {
  disk.path = "/dev/full";  // every write fails with ENOSPC; nothing is stored anywhere
  scoped_env user("FAKE_WHOAMI", "root");  // chmod must never touch a node of the machine
  list_disks({disk});
  auto device = make_device();
  image = test_support::pattern_bytes(3 * 4096 + 5, 3);
  test_support::write_bytes(image_path, image);
  device->set_drive(disk.name);
  device->set_image(image_path);
  device->set_write_block_size(4096);
  device->set_first_block_last(false);  // every block is tried, in the image's order
  run_write(*device);
  auto stats = this->stats(device->write_stats);
  EXPECT_EQ(stats["errque"], "failed to write residual block with -1/4096 bytes");
  EXPECT_EQ(stats["numerrs"], 4);
  EXPECT_EQ(stats["completed"], 100.0);
}

TEST_F(WriteJob, BrokenListingOnTheJobThreadIsRecordedNotThrown) {
  auto device = make_device();
  prepare(*device, 8192, 4096);
  test_support::write_file(dir.file("lsblk.json"), "lsblk: cannot open /sys: broken");
  run_write(*device);
  auto stats = this->stats(device->write_stats);
  EXPECT_EQ(stats["errque"].get<std::string>().rfind("failed to list drives: ", 0), 0u) << stats["errque"];
  EXPECT_TRUE(all_equal(read_bytes(disk.path), 0));
  EXPECT_TRUE(device->drive_model.drive_list.empty()) << "a failed refresh leaves no listing behind";
}

TEST_F(WriteJob, EndRefreshReplacesTheDriveRecord) {
  auto device = make_device();
  prepare(*device, 4096, 4096);
  disk.children = nlohmann::json::array({{{"name", "fakesd1"}, {"path", dir.file("p1")}, {"type", "part"}}});
  list_disks({disk});  // the image brought a partition table
  run_write(*device);
  ASSERT_EQ(device->drive.partitions.size(), 1u);
  EXPECT_EQ(device->drive.partitions[0].name, "fakesd1");
}

TEST_F(WriteJob, DeviceOutlivesItsOwnerWhileTheJobRuns) {
  auto device = make_device();
  prepare(*device, 64 * 4096, 4096);
  job_end end;
  device->write_async(end.callback());
  std::weak_ptr<flash_device> watch = device;
  device.reset();
  ASSERT_TRUE(end.wait());
  for (int i = 0; i < 100 && !watch.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(watch.expired()) << "the job thread let go of the device when it ended";
  EXPECT_EQ(slice(read_bytes(disk.path), 0, image.size()), image);
}
