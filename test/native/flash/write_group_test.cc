// Several drives written from one read of the image.
#include <algorithm>

#include "flash_fixture.h"

using flash_test::fake_disk;
using flash_test::flash_fixture;

namespace {

class WriteGroup : public flash_fixture {
 protected:
  // Three file drives of 1 MiB filled with 0xAA (the one named `small` of 64 KiB),
  // each with its own device set up for the same image.
  void make_drives(const std::string& small = {}) {
    std::vector<fake_disk> disks;
    for (const char* name : {"sdx", "sdy", "sdz"}) {
      fake_disk d;
      d.name = name;
      d.path = dir.file(std::string(name) + ".img");
      d.size = name == small ? 64 << 10 : 1 << 20;
      test_support::write_bytes(d.path, std::vector<std::uint8_t>(d.size, 0xAA));
      disks.push_back(d);
    }
    list_disks(disks);
    image = test_support::pattern_bytes(300 * 1024 + 7, 5);
    test_support::write_bytes(image_path, image);
    for (const auto& d : disks) {
      auto device = make_job_device();
      device->set_drive(d.name);
      device->set_image(image_path);
      device->set_write_block_size(64 << 10);
      devices.push_back(device);
      paths.push_back(d.path);
    }
  }

  // Starts the group and waits until every job has ended.
  void run_group() {
    std::vector<flash_test::job_end> ends(devices.size());
    std::vector<job_end_callback> callbacks;
    for (auto& end : ends) callbacks.push_back(end.callback());
    flash_device::write_group_async(devices, callbacks);
    if (cancel_one) devices[1]->request_cancel_write();
    for (auto& end : ends) ASSERT_TRUE(end.wait());
  }

  bool holds_image(std::size_t i) {
    const auto drive = test_support::read_bytes(paths[i]);
    return std::equal(image.begin(), image.end(), drive.begin());
  }

  std::vector<std::shared_ptr<flash_device>> devices;
  std::vector<std::string> paths;
  bool cancel_one = false;
};

}  // namespace

TEST_F(WriteGroup, EveryDriveGetsTheImage) {
  make_drives();
  run_group();
  for (std::size_t i = 0; i < devices.size(); ++i) {
    EXPECT_EQ(stats(devices[i]->write_stats)["errque"], "") << paths[i];
    EXPECT_TRUE(holds_image(i)) << paths[i];
  }
}

TEST_F(WriteGroup, OneRefusedDriveStartsNoneAndIsNamed) {
  make_drives("sdy");
  std::vector<job_end_callback> callbacks(3);
  EXPECT_EQ(flash_test::failure_of([&] { flash_device::write_group_async(devices, callbacks); }),
            paths[1] + ": drive is too small for given image");
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const auto drive = test_support::read_bytes(paths[i]);
    EXPECT_TRUE(std::all_of(drive.begin(), drive.end(), [](std::uint8_t b) { return b == 0xAA; })) << paths[i];
  }
  EXPECT_EQ(flash_test::failure_of([&] { devices[0]->set_write_block_size(4096); }), "accepted")
      << "no job was left claimed";
}

TEST_F(WriteGroup, ACancelledDriveLeavesAndTheOthersGoOn) {
  make_drives();
  cancel_one = true;
  run_group();
  EXPECT_EQ(stats(devices[1]->write_stats)["completed"], 0.0);
  EXPECT_FALSE(holds_image(1));
  for (std::size_t i : {0u, 2u}) {
    EXPECT_EQ(stats(devices[i]->write_stats)["completed"], 100.0) << paths[i];
    EXPECT_TRUE(holds_image(i)) << paths[i];
  }
}
