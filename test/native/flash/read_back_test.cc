// Which comparison a validation makes: the drive alone against the hashes of a clean
// write that still describes the settings and files, or the full comparison.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "flash_fixture.h"

using flash_test::flash_fixture;

namespace {

class ReadBack : public flash_fixture {
 protected:
  // Changes one image byte and gives the file back its modification time: only a
  // comparison that reads the image sees the change.
  void change_image_behind_the_fingerprint(std::size_t position) {
    struct stat before {};
    ASSERT_EQ(::stat(image_path.c_str(), &before), 0);
    image[position] ^= 0x5a;
    const int fd = ::open(image_path.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, &image[position], 1, position), 1);
    ::close(fd);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, image_path.c_str(), times, 0), 0);
  }
};

struct stale_case {
  const char* name;
  std::function<void(flash_fixture&, flash_device&, const std::string& image_path)> between;
  std::uint64_t differences;  // 0: the hashes were used; 1: the image was read
};

}  // namespace

TEST_F(ReadBack, ValidationAfterACleanWriteUsesTheHashesUnlessSomethingChanged) {
  const stale_case cases[] = {
      {"nothing changed", [](auto&, auto&, auto&) {}, 0},
      {"image touched", [](auto&, auto&, auto& path) { ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), nullptr, 0), 0); }, 1},
      {"image chosen again", [](auto&, flash_device& d, auto& path) { d.set_image(path); }, 1},
      {"drive chosen again", [](auto&, flash_device& d, auto&) { d.set_drive("fakesd"); }, 1},
      {"block map cleared", [](auto&, flash_device& d, auto&) { d.set_block_map(""); }, 1},
      {"write block size changed", [](auto&, flash_device& d, auto&) { d.set_write_block_size(8192); }, 1},
      {"a later write cancelled",
       [](flash_fixture&, flash_device& d, auto&) {
         flash_test::job_end end;
         d.write_async(end.callback());
         d.request_cancel_write();
         ASSERT_TRUE(end.wait());
       },
       1},
  };
  for (const auto& c : cases) {
    auto device = make_device();
    prepare(*device, 40 * 4096 + 77, 4096);
    run_write(*device);
    ASSERT_EQ(stats(device->write_stats)["errque"], "") << c.name;
    change_image_behind_the_fingerprint(20 * 4096 + 5);
    c.between(*this, *device, image_path);
    run_validate(*device);
    EXPECT_EQ(stats(device->validate_stats)["numwriteerrs"], c.differences) << c.name;
  }
}
