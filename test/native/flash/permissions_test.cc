#include <sys/stat.h>

#include "flash_fixture.h"

using flash_test::flash_fixture;
using test_support::scoped_env;

namespace {

class Permissions : public flash_fixture {
 protected:
  Permissions() : accepted("FAKE_SUDO_PASSWORD", "it's $(secret)") {
    device = make_device();
    prepare(*device, 4096, 4096);
    ::chmod(disk.path.c_str(), 0600);
  }
  unsigned mode() const {
    struct stat status {};
    ::stat(disk.path.c_str(), &status);
    return status.st_mode & 07777;
  }

  scoped_env accepted;
  std::shared_ptr<flash_device> device;
};

}  // namespace

TEST_F(Permissions, RightPasswordChangesTheModeWithOneCommand) {
  device->set_permissions(device->drive, "o+w", "it's $(secret)");
  EXPECT_EQ(mode(), 0602u);
  EXPECT_EQ(tools.calls_of("sudo"), std::vector<std::string>{"sudo -S -k chmod o+w " + disk.path + " [accepted]"});
  EXPECT_EQ(stats(device->write_stats)["numerrs"], 0);
  device->set_permissions(device->drive, "o-w", "it's $(secret)");
  EXPECT_EQ(mode(), 0600u);
}

TEST_F(Permissions, WrongPasswordIsRecordedAndChangesNothing) {
  device->set_permissions(device->drive, "o+w", "its $(secret)");
  EXPECT_EQ(mode(), 0600u);
  EXPECT_EQ(stats(device->write_stats)["errque"], "failed to alter permissions");
}

TEST_F(Permissions, EmptyPasswordRecordsBothMessages) {
  device->set_permissions(device->drive, "o+w", "");
  auto stats = this->stats(device->write_stats);
  EXPECT_EQ(stats["errque"], "failed to alter permissions");
  EXPECT_EQ(stats["numerrs"], 2);
}

TEST_F(Permissions, DriveMissingFromTheListingGetsNoCommand) {
  phydrive stranger = device->drive;
  stranger.identifier = "sdz";
  stranger.path = dir.file("other-node");
  test_support::write_file(stranger.path, "");
  device->set_permissions(stranger, "o+w", "it's $(secret)");
  EXPECT_EQ(stats(device->write_stats)["errque"], "required drive is not available or is not set");
  EXPECT_TRUE(tools.calls_of("sudo").empty()) << "chmod never runs on a node outside the listing";
}

TEST_F(Permissions, NodePathWithShellCharactersIsOneWord) {
  const std::string odd = dir.file("drive 'one' $(touch pwned).img");
  ::rename(disk.path.c_str(), odd.c_str());
  disk.path = odd;
  list_disks({disk});
  device->set_drive(disk.name);
  device->set_permissions(device->drive, "o+w", "it's $(secret)");
  EXPECT_EQ(mode(), 0602u);
  EXPECT_NE(::access(dir.file("pwned).img").c_str(), F_OK), 0);
  EXPECT_NE(::access("pwned", F_OK), 0);
}
