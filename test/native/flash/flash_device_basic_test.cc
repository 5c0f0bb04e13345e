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
  EXPECT_EQ(failure_of([&] { device->set_drive("vdz"); }), "drive is not external/removable");
  EXPECT_EQ(device->drive.identifier, "vdz") << "the refused record stays chosen";
  EXPECT_EQ(failure_of([&] { device->set_drive("sdlate"); }), "accepted");
  EXPECT_EQ(device->drive.path, late.path);
}

TEST_F(DeviceSettings, SetImageRecordsTheSizeOrExplainsTheFailure) {
  auto device = make_device();
  test_support::write_file(image_path, std::string(1234, 'x'));
  device->set_image(image_path);
  EXPECT_EQ(device->image_size, 1234u);

  const std::string missing = dir.file("missing.img");
  EXPECT_EQ(failure_of([&] { device->set_image(missing); }),
            "failed to determine size of " + missing + " : stat(image_path_,...) failed: image file may not exist");
  EXPECT_EQ(device->image_path, missing);
  EXPECT_EQ(device->image_size, 1234u);

  const std::string empty = dir.file("empty.img");
  test_support::write_file(empty, "");
  EXPECT_EQ(failure_of([&] { device->set_image(empty); }),
            "failed to determine size of " + empty + " : image appears to have file size zero");
  EXPECT_EQ(device->image_size, 0u);
  EXPECT_EQ(failure_of([&] { device->set_image("/dev/null"); }),
            "failed to determine size of /dev/null : image appears to have file size zero");
}

TEST_F(DeviceSettings, PasswordIsProbedOnStandardInputAndKeptWhenRefused) {
  scoped_env accepted("FAKE_SUDO_PASSWORD", "a 'quoted' $(pass)");
  auto device = make_device();
  EXPECT_EQ(failure_of([&] { device->set_password("a 'quoted' $(pass)"); }), "accepted");
  EXPECT_EQ(failure_of([&] { device->set_password("wrong"); }), "invalid sudo password");
  EXPECT_EQ(device->password, "wrong");
  auto sudo_calls = tools.calls_of("sudo -S");
  ASSERT_EQ(sudo_calls.size(), 2u);
  EXPECT_EQ(sudo_calls[0].rfind("sudo -S -k su ", 0), 0u) << sudo_calls[0];
  for (const auto& call : tools.calls()) EXPECT_EQ(call.find("quoted"), std::string::npos) << call;
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
