#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "drives/drives.h"
#include "listing_fixture.h"

namespace {

using drives_test::disk_entry;
using drives_test::json;
using drives_test::listing_of;
using drives_test::part_entry;
using test_support::scoped_env;

std::string unmount_line(const std::string& path) {
  return "udisksctl unmount --block-device " + path;
}

// The user is not root: root unmounts through the kernel where udisks fails.
class Mounting : public drives_test::listing_test {
 protected:
  void SetUp() override {
    use_listing(listing_of({
        disk_entry("sdb", {part_entry("sdb1", 4096, "/media/user/STICK"),
                           part_entry("sdb2", 4096, nullptr)}),
        disk_entry("sdc", {part_entry("sdc1", 4096, "/media/user/A"),
                           part_entry("sdc2", 4096, "/media/user/B")}),
        disk_entry("sdd"),
        disk_entry("sde", {part_entry("sde1", 4096, nullptr)}),
    }));
    load();
  }

  void load() {
    model_ = std::make_unique<physical_drives>();
    model_->mount_retry_delay_ms = 10;
  }

  physical_drives& model() { return *model_; }
  phydrive drive(const std::string& id) { return model_->get_drive(id); }
  partition part(const std::string& name) {
    for (const partition& p : drive(name.substr(0, 3)).partitions) {
      if (p.name == name) return p;
    }
    throw std::logic_error("no partition " + name);
  }
  std::vector<std::string> udisksctl_calls() const { return tools().calls_of("udisksctl"); }

  template <typename Call>
  static std::string failure(Call call) {
    try {
      call();
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "(no error)";
  }

 private:
  scoped_env not_root_{"FAKE_WHOAMI", "alice"};
  std::unique_ptr<physical_drives> model_;
};

const char* const sdb1_failed =
    "failed to unmount /dev/sdb1 from /media/user/STICK: Error unmounting /dev/sdb1: failed";

TEST_F(Mounting, UnmountReleasesMountedPartitionsInOrder) {
  model().unmount("sdc");
  EXPECT_EQ(udisksctl_calls(),
            (std::vector<std::string>{unmount_line("/dev/sdc1"), unmount_line("/dev/sdc2")}));
  // One listing at construction, one before the lookup, one after the unmount.
  EXPECT_EQ(listing_calls(), 3u);
}

TEST_F(Mounting, UnmountSkipsPartitionsWithoutMountPoint) {
  model().unmount("/dev/sdb");
  EXPECT_EQ(udisksctl_calls(), (std::vector<std::string>{unmount_line("/dev/sdb1")}));
}

TEST_F(Mounting, NothingMountedRunsNothing) {
  model().unmount("sde");
  model().unmount("sdd");  // no partitions at all
  EXPECT_TRUE(udisksctl_calls().empty());
}

TEST_F(Mounting, UnmountRefreshesTheListBeforeTheLookup) {
  use_listing(listing_of({disk_entry("sdf", {part_entry("sdf1", 4096, "/media/user/NEW")})}));
  model().unmount("sdf1");
  EXPECT_EQ(udisksctl_calls(), (std::vector<std::string>{unmount_line("/dev/sdf1")}));
}

TEST_F(Mounting, UnknownDriveFailsAfterEveryAttempt) {
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(failure([&] { model().unmount("sdz"); }),
            "mount attempt #3 failed:required drive is unavailable");
  // Three pauses between four attempts.
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(30));
  EXPECT_TRUE(udisksctl_calls().empty());
  // The failure skips the refresh after the unmount.
  EXPECT_EQ(listing_calls(), 2u);
}

TEST_F(Mounting, FailingUnmountIsTriedFourTimes) {
  scoped_env failing("FAKE_UDISKSCTL_STATUS", "1");
  EXPECT_EQ(failure([&] { model().unmount("sdb"); }), std::string("mount attempt #3 failed:") + sdb1_failed);
  EXPECT_EQ(udisksctl_calls(), std::vector<std::string>(4, unmount_line("/dev/sdb1")));
}

TEST_F(Mounting, EachAttemptStartsAgainWithTheFirstPartition) {
  // The list is not refreshed between attempts: sdc1, released by the first
  // attempt, still counts as mounted and is released again.
  scoped_env failing("FAKE_UDISKSCTL_FAIL_PATH", "/dev/sdc2");
  EXPECT_EQ(failure([&] { model().mount(drive("sdc"), false, 0); }),
            "mount attempt #3 failed:failed to unmount /dev/sdc2 from /media/user/B: Error unmounting /dev/sdc2: "
            "target is busy");
  std::vector<std::string> expected;
  for (int attempt = 0; attempt < 4; ++attempt) {
    expected.push_back(unmount_line("/dev/sdc1"));
    expected.push_back(unmount_line("/dev/sdc2"));
  }
  EXPECT_EQ(udisksctl_calls(), expected);
}

TEST_F(Mounting, LaterAttemptMaySucceed) {
  scoped_env failing("FAKE_UDISKSCTL_FAIL_COUNT", "2");
  model().unmount("sdb");
  EXPECT_EQ(udisksctl_calls(), std::vector<std::string>(3, unmount_line("/dev/sdb1")));
}

TEST_F(Mounting, AttemptNumberCarriesOn) {
  scoped_env failing("FAKE_UDISKSCTL_STATUS", "1");
  EXPECT_EQ(failure([&] { model().mount(drive("sdb"), false, 2); }), std::string("mount attempt #3 failed:") + sdb1_failed);
  EXPECT_EQ(udisksctl_calls().size(), 2u);
  EXPECT_EQ(failure([&] { model().mount(drive("sdb"), false, 7); }), std::string("mount attempt #7 failed:") + sdb1_failed);
  EXPECT_EQ(udisksctl_calls().size(), 3u);
  model().mount_retries = 0;
  EXPECT_EQ(failure([&] { model().mount(drive("sdb"), false, 0); }), std::string("mount attempt #0 failed:") + sdb1_failed);
  EXPECT_EQ(udisksctl_calls().size(), 4u);
}

TEST_F(Mounting, DrivesOwnPartitionsAreTheOnesVisited) {
  // Drive equality ignores partitions, so the caller's record decides which are visited.
  phydrive only_second = drive("sdc");
  only_second.partitions.erase(only_second.partitions.begin());
  model().mount(only_second, false, 0);
  EXPECT_EQ(udisksctl_calls(), (std::vector<std::string>{unmount_line("/dev/sdc2")}));
}

TEST_F(Mounting, MountingRunsOnlyForUnmountedPartitions) {
  model().mount(part("sdb1"), true);
  EXPECT_TRUE(udisksctl_calls().empty());
  model().mount(part("sdb2"), true);
  model().mount(drive("sde"), true, 0);
  EXPECT_EQ(udisksctl_calls(),
            (std::vector<std::string>{"udisksctl mount --block-device /dev/sdb2",
                                      "udisksctl mount --block-device /dev/sde1"}));
}

TEST_F(Mounting, OnePartitionFailsAtOnce) {
  scoped_env failing("FAKE_UDISKSCTL_STATUS", "1");
  EXPECT_EQ(failure([&] { model().mount(part("sdb2"), true); }), "failed to mount /dev/sdb2: Error mounting /dev/sdb2: failed");
  EXPECT_EQ(failure([&] { model().mount(part("sdb1"), false); }), sdb1_failed);
  EXPECT_EQ(udisksctl_calls().size(), 2u);
}

TEST_F(Mounting, RootUnmountsThroughTheKernelOnlyWhatIsABlockDeviceThere) {
  scoped_env root("FAKE_WHOAMI", "root");
  scoped_env failing("FAKE_UDISKSCTL_STATUS", "1");
  // The listing's node is no block device of this machine: nothing is unmounted.
  EXPECT_EQ(failure([&] { model().mount(part("sdb1"), false); }),
            "failed to unmount /dev/sdb1 from /media/user/STICK: no block device at /dev/sdb1");
}

TEST_F(Mounting, ListedRecordDecidesWhetherToRun) {
  // Equality leaves the mount point out, so stale copies are accepted.
  partition stale_unmounted = part("sdb1");
  stale_unmounted.mountpoint = "";
  model().mount(stale_unmounted, false);
  partition stale_mounted = part("sdb2");
  stale_mounted.mountpoint = "/media/user/OLD";
  model().mount(stale_mounted, false);
  EXPECT_EQ(udisksctl_calls(), (std::vector<std::string>{unmount_line("/dev/sdb1")}));
}

TEST_F(Mounting, PartitionNotInTheListIsRefused) {
  partition resized = part("sdb1");
  resized.size += 512;
  EXPECT_EQ(failure([&] { model().mount(resized, false); }), "required partition is unavailable");
  partition foreign;
  EXPECT_EQ(failure([&] { model().mount(foreign, true); }), "required partition is unavailable");
  EXPECT_TRUE(udisksctl_calls().empty());
}

TEST_F(Mounting, DevicePathReachesTheToolAsOneWord) {
  // The stand-in refuses any other argument count, so success means one word.
  const std::string pwned = dir().file("pwned");
  const std::vector<std::string> paths = {dir().file("usb stick"), dir().file("it's mine"),
                                          dir().file("$(touch " + pwned + ")"),
                                          dir().file("a;b`c`\"d\\ e")};
  std::vector<json> parts;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    json entry = part_entry("sdg" + std::to_string(i + 1), 4096, "/media/user/P");
    entry["path"] = paths[i];
    parts.push_back(entry);
  }
  use_listing(listing_of({disk_entry("sdg", parts)}));

  model().unmount("sdg");
  std::vector<std::string> expected;
  for (const auto& path : paths) expected.push_back(unmount_line(path));
  EXPECT_EQ(udisksctl_calls(), expected);
  EXPECT_FALSE(std::filesystem::exists(pwned));

  scoped_env failing("FAKE_UDISKSCTL_FAIL_PATH", paths[0]);
  EXPECT_EQ(failure([&] { model().mount(part("sdg1"), false); }),
            "failed to unmount " + paths[0] + " from /media/user/P: Error unmounting " + paths[0] + ": target is busy");
}

}  // namespace
