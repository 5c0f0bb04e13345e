// The backup job of a flash device on a file drive with an MBR: the output and the
// files beside it, the refusals before reading, and a cancel that leaves nothing.
#include <filesystem>
#include <thread>

#include "flash_fixture.h"
#include "image/block_map.h"
#include "support/shell.h"

using flash_test::failure_of;
using flash_test::flash_fixture;
using flash_test::job_end;

namespace {

constexpr std::uint64_t drive_size = 16 << 20;
// One partition from 1 MiB to 7 MiB: the backup reads 7 MiB.
constexpr std::uint64_t extent = 7 << 20;

class BackupJob : public flash_fixture {
 protected:
  void SetUp() override {
    disk.size = drive_size;
    drive = test_support::pattern_bytes(drive_size, 4);
    std::fill(drive.begin() + (2 << 20), drive.begin() + (6 << 20), 0);
    test_support::write_bytes(disk.path, drive);
    const std::string table = "printf 'label: dos\\nstart=2048, size=6M\\n' | sfdisk -q " + shell::quote(disk.path);
    ASSERT_EQ(test_support::run_with_system_tools(table), 0);
    drive = test_support::read_bytes(disk.path);
    list_disks({disk});
    device = make_job_device();
    device->set_drive(disk.name);
  }
  void run_backup() {
    job_end end;
    device->backup_async(end.callback());
    ASSERT_TRUE(end.wait()) << "backup job did not end";
  }
  nlohmann::json report() const { return nlohmann::json::parse(device->backup_stats.get_report_json()); }

  std::vector<std::uint8_t> drive;
  std::shared_ptr<flash_device> device;
};

}  // namespace

TEST_F(BackupJob, MakesTheImageItsMapAndItsChecksum) {
  const std::string output = dir.file("backup.img.zst");
  device->set_backup(output, "{}");
  run_backup();
  EXPECT_EQ(stats(device->backup_stats)["errque"], "");
  const nlohmann::json r = report();
  EXPECT_EQ(r["dataComplete"], true);
  EXPECT_EQ(r["bytes"], extent);
  EXPECT_EQ(r["image"], (nlohmann::json{{"format", "zstd"}, {"size", extent}, {"blockMap", true}}));
  EXPECT_EQ(r["backup"]["outputBytes"], std::filesystem::file_size(output));
  EXPECT_EQ(r["backup"]["blockMap"], output + ".bmap");
  EXPECT_EQ(test_support::read_file(output + ".sha256"), r["backup"]["sha256"].get<std::string>() + "  backup.img.zst\n");

  const auto image = test_support::open_image(output);
  std::vector<std::uint8_t> decoded(extent + 1);
  ASSERT_EQ(image->read(decoded.data(), decoded.size()), extent);
  EXPECT_TRUE(std::equal(drive.begin(), drive.begin() + extent, decoded.begin()));
  const image::block_map map = image::block_map::read(output + ".bmap");
  EXPECT_EQ(map.image_size, extent);
  EXPECT_EQ(map.mapped_bytes, extent - (4 << 20)) << "the 4 MiB of zeros are left out";
}

TEST_F(BackupJob, RefusesBeforeReading) {
  test_support::write_file(dir.file("taken.img"), "an earlier backup");
  test_support::write_file(dir.file("new.img.bmap"), "an earlier map");
  const std::pair<std::string, std::string> cases[] = {
      {dir.file("taken.img"), "taken.img exists (allow overwriting to replace it)"},
      {dir.file("new.img"), "new.img.bmap exists (allow overwriting to replace it)"},
      {dir.file("missing/new.img"), "missing does not exist"},
  };
  EXPECT_EQ(failure_of([&] { device->backup_async(); }), "no output file provided");
  for (const auto& [output, refusal] : cases) {
    device->set_backup(output, "{}");
    const std::string failure = failure_of([&] { device->backup_async(); });
    EXPECT_NE(failure.find(refusal), std::string::npos) << failure;
  }
  EXPECT_EQ(test_support::read_file(dir.file("taken.img")), "an earlier backup");
}

TEST_F(BackupJob, OverwritingDropsTheFilesOfTheEarlierBackupItDoesNotMake) {
  const std::string output = dir.file("backup.img");
  for (const char* name : {"backup.img", "backup.img.bmap", "backup.img.sha256"}) test_support::write_file(dir.file(name), "old");
  device->set_backup(output, R"({"overwrite":true,"blockMap":false})");
  run_backup();
  EXPECT_EQ(report()["dataComplete"], true);
  EXPECT_EQ(std::filesystem::file_size(output), extent);
  EXPECT_FALSE(std::filesystem::exists(output + ".bmap"));
  EXPECT_NE(test_support::read_file(output + ".sha256"), "old");
}

TEST_F(BackupJob, CancelledLeavesNothing) {
  // The job waits at the unmount of a mounted partition until the hold file goes.
  test_support::scoped_env hold("FAKE_UDISKSCTL_HOLD", dir.file("hold"));
  test_support::write_file(dir.file("hold"), "");
  disk.children = nlohmann::json::array(
      {{{"name", "fakesd1"}, {"path", dir.file("p1")}, {"type", "part"}, {"mountpoint", "/media/x"}}});
  list_disks({disk});
  device->set_drive(disk.name);
  device->set_backup(dir.file("backup.img.xz"), "{}");
  job_end end;
  device->backup_async(end.callback());
  for (int i = 0; i < 1000 && tools.calls_of("udisksctl").empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  device->request_cancel_backup();
  std::filesystem::remove(dir.file("hold"));
  ASSERT_TRUE(end.wait());
  EXPECT_EQ(stats(device->backup_stats)["completed"], 0);
  EXPECT_EQ(report()["dataComplete"], false);
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().string().find("backup.img"), std::string::npos) << entry.path();
  }
}
