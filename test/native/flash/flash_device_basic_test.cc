#include <sys/stat.h>

#include "flash_fixture.h"

using flash_test::fake_disk;
using flash_test::failure_of;
using flash_test::flash_fixture;
using test_support::scoped_env;

using DeviceSettings = flash_fixture;

TEST_F(DeviceSettings, StartsWithNoDriveAndNoSettings) {
  auto device = make_device();
  EXPECT_FALSE(device->drive.defined);
  EXPECT_EQ(device->drive.identifier, "undefined");
  EXPECT_EQ(device->password, "");
  EXPECT_EQ(device->image_path, "");
  EXPECT_EQ(device->image_size, 0u);
  EXPECT_EQ(device->write_block_size, 0u);
  EXPECT_EQ(device->validate_block_size, 0u);
  EXPECT_EQ(device->drive_model.drive_list.size(), 1u) << "listed at construction";
}

TEST_F(DeviceSettings, SetDriveRefreshesLooksUpAndRefusesFixedDisks) {
  auto device = make_device();
  EXPECT_EQ(failure_of([&] { device->set_drive("sdq"); }), "required drive sdq is not available");
  EXPECT_FALSE(device->drive.defined);

  fake_disk fixed = disk;
  fixed.name = "vdz";
  fixed.path = dir.file("fixed.img");
  fixed.removable = false;
  fixed.hotplug = false;
  fake_disk late = disk;
  late.name = "sdlate";
  late.path = dir.file("late.img");
  list_disks({disk, fixed, late});  // plugged in after construction
  EXPECT_EQ(failure_of([&] { device->set_drive("sdlate"); }), "accepted");
  EXPECT_EQ(failure_of([&] { device->set_drive("vdz"); }), "drive is not external/removable");
  EXPECT_EQ(device->drive.path, late.path) << "a refused drive leaves the earlier choice";
}

TEST_F(DeviceSettings, SetImageRecordsTheSizeOrRefusesWhatIsNoImage) {
  auto device = make_device();
  test_support::write_file(image_path, std::string(1234, 'x'));
  device->set_image(image_path);
  EXPECT_EQ(device->image_size, 1234u);

  const std::string missing = dir.file("missing.img");
  const std::string empty = dir.file("empty.img");
  test_support::write_file(empty, "");
  const std::string fifo = dir.file("image.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const auto& [path, refusal] : std::vector<std::pair<std::string, std::string>>{
           {missing, "failed to determine size of " + missing + " : image file may not exist"},
           {empty, "failed to determine size of " + empty + " : image appears to have file size zero"},
           {fifo, "failed to determine size of " + fifo + " : image appears to have file size zero"},
           {dir.path(), dir.path() + " is a directory, not an image file"},
           {"/dev/null", "/dev/null is a device, not an image file"}}) {
    EXPECT_EQ(failure_of([&] { device->set_image(path); }), refusal);
    EXPECT_EQ(device->image_path, image_path) << "the earlier image stays chosen";
    EXPECT_EQ(device->image_size, 1234u);
  }
}

TEST_F(DeviceSettings, PasswordIsProbedOnStandardInputAndStoredOnlyWhenAccepted) {
  scoped_env accepted("FAKE_SUDO_PASSWORD", "a 'quoted' $(pass)");
  auto device = make_device();
  EXPECT_EQ(failure_of([&] { device->set_password("a 'quoted' $(pass)"); }), "accepted");
  EXPECT_EQ(failure_of([&] { device->set_password("wrong"); }), "invalid sudo password");
  EXPECT_EQ(device->password, "a 'quoted' $(pass)");
  auto sudo_calls = tools.calls_of("sudo -S");
  ASSERT_EQ(sudo_calls.size(), 2u);
  EXPECT_EQ(sudo_calls[0].rfind("sudo -S -k su ", 0), 0u) << sudo_calls[0];
  for (const auto& call : tools.calls()) EXPECT_EQ(call.find("quoted"), std::string::npos) << call;
}

TEST_F(DeviceSettings, UserThatSudoRefusesWhateverThePasswordIsToldSo) {
  scoped_env accepted("FAKE_SUDO_PASSWORD", "right");
  scoped_env not_sudoer("FAKE_SUDO_NOT_SUDOER", "1");
  scoped_env user("FAKE_WHOAMI", "alice");
  auto device = make_device();
  try {
    device->set_password("right");
    ADD_FAILURE() << "accepted";
  } catch (const coded_error& e) {
    EXPECT_EQ(e.why(), reason::no_sudo);
    EXPECT_STREQ(e.what(), "alice may not use sudo on this machine");
  }
  EXPECT_EQ(failure_of([&] { device->set_password("wrong"); }), "invalid sudo password");
}

TEST_F(DeviceSettings, PasswordNeverReachesTheShellOfSuWhenSudoAsksForNone) {
  scoped_env no_password_rule("FAKE_SUDO_NOPASSWD", "1");
  scoped_env real_su_shell("FAKE_SU_READS_STDIN", "1");
  auto device = make_device();
  EXPECT_EQ(failure_of([&] { device->set_password("touch " + dir.file("pwned")); }), "accepted");
  EXPECT_NE(::access(dir.file("pwned").c_str(), F_OK), 0);
}

TEST_F(DeviceSettings, PasswordWithALineBreakIsRefusedWithoutRunningSudo) {
  scoped_env accepted("FAKE_SUDO_PASSWORD", "first");
  auto device = make_device();
  EXPECT_EQ(failure_of([&] { device->set_password("first\ntouch " + dir.file("pwned")); }), "invalid sudo password");
  EXPECT_TRUE(tools.calls_of("sudo").empty());
  EXPECT_NE(::access(dir.file("pwned").c_str(), F_OK), 0);
}
