#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "flash_fixture.h"

using flash_test::failure_of;
using flash_test::flash_fixture;
using test_support::read_file;
using test_support::scoped_env;

namespace {

class ValidateJob : public flash_fixture {
 protected:
  // Puts the image onto the drive as a finished write would have.
  void copy_image_to_drive() {
    auto drive = image;
    drive.resize(disk.size, 0);
    test_support::write_bytes(disk.path, drive);
  }
  void poke_drive(std::size_t position, std::uint8_t value) {
    auto drive = test_support::read_bytes(disk.path);
    drive.at(position) = value;
    test_support::write_bytes(disk.path, drive);
  }
  std::vector<std::string> report_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  const std::string header =
      "#        position          block         offset        byteset        byteval";
};

}  // namespace

TEST_F(ValidateJob, UnchangedDriveHasNoDifferencesAndAnEmptyReport) {
  auto device = make_device();
  prepare(*device, 5 * 4096 + 33, 4096);
  copy_image_to_drive();
  run_validate(*device, dir.file("report.txt"));
  auto stats = this->stats(device->validate_stats);
  EXPECT_EQ(stats["numwriteerrs"], 0);
  EXPECT_EQ(stats["completed"], 100.0);
  EXPECT_EQ(stats["errque"], "");
  EXPECT_EQ(report_lines(dir.file("report.txt")), std::vector<std::string>{header});
}

TEST_F(ValidateJob, DifferencesAreCountedAndListedWithTheirPlace) {
  auto device = make_device();
  prepare(*device, 3 * 4096, 4096);
  image[8197] = 0x00;
  test_support::write_bytes(image_path, image);
  copy_image_to_drive();
  poke_drive(8197, 0xff);           // block 2, offset 5
  poke_drive(3 * 4096 - 1, static_cast<std::uint8_t>(image[3 * 4096 - 1] ^ 1));  // last byte, after the last sample
  run_validate(*device, dir.file("report.txt"));
  EXPECT_EQ(stats(device->validate_stats)["numwriteerrs"], 2);
  auto lines = report_lines(dir.file("report.txt"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "           8197              2              5       ffffffff              0");
  EXPECT_EQ(lines[2].substr(0, 45), "          12287              2           4095");
}

TEST_F(ValidateJob, ResidualBytesAreComparedToo) {
  auto device = make_device();
  prepare(*device, 2 * 4096 + 10, 4096);
  copy_image_to_drive();
  poke_drive(2 * 4096 + 3, static_cast<std::uint8_t>(image[2 * 4096 + 3] + 1));
  run_validate(*device, dir.file("report.txt"));
  EXPECT_EQ(stats(device->validate_stats)["numwriteerrs"], 1);
  EXPECT_EQ(report_lines(dir.file("report.txt")).at(1).substr(0, 45), "           8195              2              3");
}

TEST_F(ValidateJob, ImageSmallerThanABlockIsComparedWithoutSample) {
  auto device = make_device();
  prepare(*device, 100, 4096);
  copy_image_to_drive();
  poke_drive(99, static_cast<std::uint8_t>(image[99] + 1));
  run_validate(*device);
  auto stats = this->stats(device->validate_stats);
  EXPECT_EQ(stats["numwriteerrs"], 1);
  EXPECT_EQ(stats["speedavg"], 0.0);
}

TEST_F(ValidateJob, EmptyReportPathCreatesNoFile) {
  auto device = make_device();
  prepare(*device, 4096, 4096);
  copy_image_to_drive();
  run_validate(*device);
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) files.insert(entry.path().filename());
  EXPECT_EQ(files, (std::set<std::string>{"drive.img", "image.bin", "lsblk.json", "tool-calls.log"}));
}

TEST_F(ValidateJob, ShortImageStopsTheComparisonAndCountsOnlyBytesRead) {
  auto device = make_device();
  prepare(*device, 3 * 4096, 4096);
  // The drive differs everywhere past byte 5000, but the image now ends at 5000.
  test_support::write_bytes(disk.path, std::vector<std::uint8_t>(disk.size, 0));
  std::vector<std::uint8_t> head(image.begin(), image.begin() + 5000);
  test_support::write_bytes(image_path, head);
  std::size_t differing = 0;
  for (std::size_t i = 0; i < 5000; ++i) differing += head[i] != 0;
  run_validate(*device);
  auto stats = this->stats(device->validate_stats);
  EXPECT_EQ(stats["errque"], "failed to read image block #1 with 904/4096 bytes");
  EXPECT_EQ(stats["numwriteerrs"], differing);
}

TEST_F(ValidateJob, ShortResidualIsReportedWithTheCountCompared) {
  auto device = make_device();
  prepare(*device, 4096 + 50, 4096);
  copy_image_to_drive();
  ASSERT_EQ(::truncate(image_path.c_str(), 4096 + 20), 0);
  run_validate(*device);
  auto stats = this->stats(device->validate_stats);
  EXPECT_EQ(stats["errque"], "inconsistent number of residual bytes: 20 != 50");
  EXPECT_EQ(stats["numwriteerrs"], 0);
}

TEST_F(ValidateJob, ShortDriveIsReportedAndUnreadBytesAreNotCounted) {
  auto device = make_device();
  prepare(*device, 3 * 4096, 4096);
  copy_image_to_drive();
  ASSERT_EQ(::truncate(disk.path.c_str(), 4096 + 1000), 0);
  run_validate(*device);
  auto stats = this->stats(device->validate_stats);
  EXPECT_EQ(stats["errque"], "failed to read device block #1 with 1000/4096 bytes");
  EXPECT_EQ(stats["numwriteerrs"], 0);
}

TEST_F(ValidateJob, UnopenableImageOrDeviceComparesNothing) {
  auto device = make_device();
  prepare(*device, 4096, 4096);
  ::unlink(disk.path.c_str());
  run_validate(*device);
  auto stats = this->stats(device->validate_stats);
  EXPECT_EQ(stats["errque"], "failed to open device");
  EXPECT_EQ(stats["numwriteerrs"], 0);
  EXPECT_EQ(stats["completed"], 100.0);

  ::unlink(image_path.c_str());
  run_validate(*device);
  stats = this->stats(device->validate_stats);
  EXPECT_EQ(stats["errque"], "failed to open device");
  // Image and device both reported (a caller who is not root also meets the node's
  // missing access list on the way).
  const auto report = nlohmann::json::parse(device->validate_stats.get_report_json());
  std::vector<std::string> reasons;
  for (const auto& e : report["errors"]) {
    reasons.push_back(e["reason"].get<std::string>() + " " + e["message"].get<std::string>());
  }
  EXPECT_NE(std::find(reasons.begin(), reasons.end(), "EIMAGE failed to open image file"), reasons.end()) << report;
  EXPECT_EQ(reasons.back(), "EVERIFY failed to open device");
}

TEST_F(ValidateJob, StartChecks) {
  auto device = make_device();
  auto refused = [&] { return failure_of([&] { device->validate_async(); }); };
  device->set_validate_block_size(1000);
  EXPECT_EQ(refused(), "no image file provided");
  prepare(*device, 4096, 4096);
  device->set_validate_block_size(1000);
  EXPECT_EQ(refused(), "invalid read block size");
  device->set_validate_block_size(0);
  EXPECT_EQ(refused(), "invalid read block size");
}

TEST_F(ValidateJob, NoChosenDriveRefusesEveryBlockSize) {
  auto device = make_device();
  test_support::write_bytes(image_path, test_support::pattern_bytes(10, 1));
  device->set_image(image_path);
  device->set_validate_block_size(4096);
  EXPECT_EQ(failure_of([&] { device->validate_async(); }), "invalid read block size");
}

TEST_F(ValidateJob, NonRootPermissionMessagesGoToItsOwnStatistics) {
  scoped_env user("FAKE_WHOAMI", "alice");
  scoped_env accepted("FAKE_SUDO_PASSWORD", "right");
  auto device = make_device();
  prepare(*device, 4096, 4096);
  copy_image_to_drive();
  device->password = "wrong";
  run_validate(*device);
  EXPECT_EQ(stats(device->validate_stats)["errque"], "failed to alter permissions");
  EXPECT_EQ(stats(device->write_stats)["errque"], "");
  EXPECT_EQ(tools.calls_of("sudo"),
            std::vector<std::string>{"sudo -S -k setfacl -m u:" + std::to_string(::getuid()) + ":r -- " + disk.path +
                                     " [refused]"});
}
