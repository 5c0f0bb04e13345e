// The backup GPT moved to the end of a larger drive, checked by sgdisk (gdisk), an
// outside oracle; drives without a GPT or with one already at the end are left alone.
// And the partition checks of first-boot files on an image that mkfs.vfat formatted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "device/block_io.h"
#include "finish/drive_access.h"
#include "finish/first_boot_files.h"
#include "test_support.h"

namespace {

constexpr std::uint64_t MiB = 1 << 20;

// The tool's path on PATH or in /usr/sbin (not on an ordinary user's PATH); empty when missing.
std::string tool(const std::string& name) {
  for (const std::string& dir : {std::string("/usr/sbin/"), std::string("/sbin/"), std::string("/usr/bin/")}) {
    if (::access((dir + name).c_str(), X_OK) == 0) return dir + name;
  }
  return {};
}

int run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

std::string output_of(const std::string& command) {
  std::string text;
  if (FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, pipe)) text += chunk;
    ::pclose(pipe);
  }
  return text;
}

gpt_relocation plan_for(const std::string& path) {
  block_io::unique_fd fd(::open(path.c_str(), O_RDONLY));
  return plan_gpt_relocation(reader_of(fd.get()), 512, static_cast<std::uint64_t>(::lseek(fd.get(), 0, SEEK_END)));
}

class GptRelocation : public ::testing::Test {
 protected:
  void SetUp() override {
    if (sgdisk.empty()) GTEST_SKIP() << "sgdisk is missing (Debian package gdisk; scripts/setup.sh installs it)";
  }
  std::string sgdisk = tool("sgdisk");
  test_support::temp_dir dir;
  std::string drive = dir.file("drive.img");
};

TEST_F(GptRelocation, BackupMovesToTheEndOfALargerDrive) {
  test_support::write_file(drive, "");
  ASSERT_EQ(::truncate(drive.c_str(), 64 * MiB), 0);
  ASSERT_EQ(run(sgdisk + " -n 1:2048:+16M -t 1:ef00 -n 2:0:0 " + drive), 0);
  ASSERT_EQ(::truncate(drive.c_str(), 128 * MiB), 0);  // the image on a drive of twice its size

  const gpt_relocation plan = plan_for(drive);
  ASSERT_EQ(plan.left_alone, "");
  write_and_check(held_drive(drive), plan.writes);

  EXPECT_NE(output_of(sgdisk + " -v " + drive).find("No problems found"), std::string::npos) << output_of(sgdisk + " -v " + drive);
  const std::vector<std::uint8_t> bytes = test_support::read_bytes(drive);
  const std::uint64_t last_lba = 128 * MiB / 512 - 1;
  const auto backup = gpt_header::parse({bytes.end() - 512, bytes.end()});
  ASSERT_TRUE(backup);
  EXPECT_EQ(backup->my_lba(), last_lba);
  EXPECT_EQ(plan_for(drive).left_alone, "the GPT already ends at the drive's last sector");
}

TEST_F(GptRelocation, DriveWithoutGptIsLeftAlone) {
  test_support::write_file(drive, "");
  ASSERT_EQ(::truncate(drive.c_str(), 8 * MiB), 0);
  ASSERT_EQ(run("printf 'start=2048, type=83\\n' | " + tool("sfdisk") + " -q " + drive), 0);
  EXPECT_EQ(plan_for(drive).left_alone, "no GPT");
}

TEST(FirstBootPartitions, OnlyAFatPartitionOfTheTableTakesFiles) {
  const std::string mkfs = tool("mkfs.vfat");
  const std::string sfdisk = tool("sfdisk");
  if (mkfs.empty() || sfdisk.empty()) GTEST_SKIP() << "mkfs.vfat (dosfstools) or sfdisk (fdisk) is missing";
  test_support::temp_dir dir;
  const std::string image = dir.file("image.img");
  test_support::write_file(image, "");
  ASSERT_EQ(::truncate(image.c_str(), 24 * MiB), 0);
  ASSERT_EQ(run("printf 'start=2048, size=16M, type=c\\nstart=34816, type=83\\n' | " + sfdisk + " -q " + image), 0);
  ASSERT_EQ(run(mkfs + " --offset=2048 " + image + " 16384"), 0);

  block_io::unique_fd fd(::open(image.c_str(), O_RDONLY));
  const read_at read = reader_of(fd.get());
  const auto failure = [&](int partition) -> std::string {
    try {
      check_file_partitions(read, {{partition, "/hostname", "pi"}});
      return "accepted";
    } catch (const coded_error& e) {
      return std::string(reason_code(e.why())) + " " + e.what();
    }
  };
  EXPECT_EQ(failure(1), "accepted");
  EXPECT_EQ(failure(2), "EIMAGE partition 2 of the image holds no FAT file system");
  EXPECT_EQ(failure(3), "EIMAGE the image has no partition 3");
}

}  // namespace
