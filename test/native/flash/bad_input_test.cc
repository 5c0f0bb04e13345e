// Inputs a user may hand the engine that the other job tests do not try: a directory
// as the image, a name full of shell characters, block sizes too large.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "flash_fixture.h"

using flash_test::flash_fixture;
using test_support::scoped_env;

namespace {

bool all_equal(const std::vector<std::uint8_t>& bytes, std::uint8_t value) {
  return std::all_of(bytes.begin(), bytes.end(), [value](std::uint8_t b) { return b == value; });
}

class BadInput : public flash_fixture {};

TEST_F(BadInput, ImageThatBecameADirectoryLeavesTheDriveUnopened) {
  scoped_env user("FAKE_WHOAMI", "alice");
  auto device = make_job_device();
  prepare(*device, 8192, 4096);
  device->set_capacity_check(true);
  ::unlink(image_path.c_str());
  ASSERT_EQ(::mkdir(image_path.c_str(), 0700), 0);  // a directory opens, and reads fail

  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"], "failed to read image block #0 with 0/4096 bytes");
  EXPECT_TRUE(all_equal(test_support::read_bytes(disk.path), 0)) << "not one byte reached the drive";
  EXPECT_TRUE(tools.calls_of("sudo").empty()) << "the drive's node was not even opened to the job";
  EXPECT_EQ(tools.calls_of("lsblk --bytes").size(), 2u) << "no listing of the job's own: construction and setDrive";

  run_validate(*device);
  const auto validated = stats(device->validate_stats);
  EXPECT_EQ(validated["numwriteerrs"], 0) << "no byte counted that was not read";
  EXPECT_NE(validated["errque"], "");
}

TEST_F(BadInput, ShellCharactersInTheImagePathAreJustAName) {
  auto device = make_device();
  prepare(*device, 3 * 512 + 7, 512);
  const std::string odd = dir.file("$(touch pwned) `touch pwned2`; 'q' \"d\" *.img");
  ASSERT_EQ(::rename(image_path.c_str(), odd.c_str()), 0);
  device->set_image(odd);

  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"], "");
  const auto drive = test_support::read_bytes(disk.path);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), drive.begin()));
  run_validate(*device);
  EXPECT_EQ(stats(device->validate_stats)["numwriteerrs"], 0);
  EXPECT_NE(::access(dir.file("pwned").c_str(), F_OK), 0) << "a shell ran the image path";
  EXPECT_NE(::access(dir.file("pwned2").c_str(), F_OK), 0) << "a shell ran the image path";
}

TEST_F(BadInput, BlockSizesAbove256MiBOrTheDriveAreRefusedAtTheStart) {
  constexpr std::uint64_t MiB = 1 << 20;
  struct example {
    std::uint64_t disk_size, block;
    const char* write;  // what each start says; nullptr: not tried (it would write 256 MiB)
    const char* validate;
  };
  const std::vector<example> examples = {
      {512 * MiB, 256 * MiB + 512, "invalid write block size", "invalid read block size"},
      {512 * MiB, 256 * MiB, nullptr, "accepted"},
      {MiB, MiB + 512, "invalid write block size", "invalid read block size"},
      {MiB, MiB, "accepted", "accepted"},
  };
  for (const example& e : examples) {
    disk.size = e.disk_size;  // only listed: the drive file stays small
    list_disks({disk});
    auto device = make_device();
    choose(*device, 4096, e.block);
    const auto start = [&](bool writing) {
      flash_test::job_end end;
      const std::string outcome = flash_test::failure_of(
          [&] { writing ? device->write_async(end.callback()) : device->validate_async(end.callback()); });
      if (outcome == "accepted") EXPECT_TRUE(end.wait());
      return outcome;
    };
    if (e.write) EXPECT_EQ(start(true), e.write) << e.block << " on " << e.disk_size;
    EXPECT_EQ(start(false), e.validate) << e.block << " on " << e.disk_size;
  }
}

}  // namespace
