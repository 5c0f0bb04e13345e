// Every image format, with and without a block map, written and validated through the
// jobs onto a file drive and onto a loop device.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <tuple>

#include "flash_fixture.h"
#include "support/shell.h"

using flash_test::flash_fixture;

namespace {

constexpr std::uint64_t drive_size = 4 << 20;
constexpr std::uint64_t image_size = (2 << 20) + 1000;
constexpr std::uint64_t block = 64 << 10;
// Where the image holds data; the rest is a hole, left out of the block map.
const std::vector<std::pair<std::uint64_t, std::uint64_t>> data_ranges = {
    {0, 64 << 10}, {512 << 10, 600 << 10}, {1536 << 10, image_size}};

struct format_case {
  const char* name;
  const char* compress;  // shell command from raw.img to the image file
};

const format_case formats[] = {
    {"raw", "cp raw.img image"},
    {"gzip", "(head -c 1000000 raw.img | gzip -c; tail -c +1000001 raw.img | gzip -c) > image"},
    {"xz", "xz -T2 --block-size=512KiB -c raw.img > image"},
    {"zstd", "zstd -q -c raw.img > image"},
    {"zstd_streamed", "zstd -q -c < raw.img > image"},
    {"bzip2", "bzip2 -c raw.img > image"},
    {"zip_deflated", "echo note > readme.txt && zip -q image.zip readme.txt raw.img && mv image.zip image"},
    {"zip_stored", "zip -q -0 image.zip raw.img && mv image.zip image"},
};

void PrintTo(const format_case& format, std::ostream* out) { *out << format.name; }

void run(const std::string& dir, const std::string& command) {
  ASSERT_EQ(std::system(("cd " + shell::quote(dir) + " && " + command).c_str()), 0) << command;
}

class ImageFormats : public flash_fixture {
 protected:
  // A sparse image with three data ranges, its block map, and the drive filled with
  // 0xAA, so that untouched bytes show.
  void make_image(const format_case& format) {
    raw.assign(image_size, 0);
    auto data = test_support::pattern_bytes(image_size, 11);
    const int fd = ::open(dir.file("raw.img").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, image_size), 0);
    for (auto [from, to] : data_ranges) {
      std::copy(data.begin() + from, data.begin() + to, raw.begin() + from);
      ASSERT_EQ(::pwrite(fd, data.data() + from, to - from, from), static_cast<ssize_t>(to - from));
    }
    ::close(fd);
    run(dir.path(), "bmaptool -q create raw.img -o image.bmap");
    run(dir.path(), format.compress);
    image_path = dir.file("image");
  }

  void use_drive(const std::string& path, const std::string& name) {
    disk.size = drive_size;
    disk.path = path;
    disk.name = name;
    list_disks({disk});
  }

  std::vector<std::uint8_t> stored(const std::string& file) {
    ::sync();
    return test_support::read_bytes(file);
  }

  std::vector<std::uint8_t> raw;
};

class EveryFormat : public ImageFormats,
                    public ::testing::WithParamInterface<std::tuple<format_case, bool, bool>> {};

}  // namespace

TEST_P(EveryFormat, WritesAndValidatesTheDecodedImage) {
  const auto [format, mapped, on_loop_device] = GetParam();
  make_image(format);
  const std::string backing = dir.file("drive.img");
  test_support::write_bytes(backing, std::vector<std::uint8_t>(drive_size, 0xAA));
  std::unique_ptr<test_support::loop_device> loop;
  if (on_loop_device) {
    loop = std::make_unique<test_support::loop_device>(backing);
    if (!loop->attached()) GTEST_SKIP() << loop->why_not();
    use_drive(loop->path(), loop->path().substr(5));
  } else {
    use_drive(backing, "fakesd");
  }

  auto device = make_device();
  device->set_drive(disk.name);
  device->set_image(image_path);
  if (mapped) device->set_block_map(dir.file("image.bmap"));
  device->set_write_block_size(block);
  device->set_validate_block_size(block);
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"], "");
  run_validate(*device);
  EXPECT_EQ(stats(device->validate_stats)["errque"], "");
  EXPECT_EQ(stats(device->validate_stats)["numwriteerrs"], 0);

  const auto drive = stored(backing);
  for (std::uint64_t i = 0; i < drive_size; i += 4096) {
    const bool in_image = i < image_size;
    const bool holds_data = std::any_of(data_ranges.begin(), data_ranges.end(), [&](auto r) { return i >= r.first && i < r.second; });
    const bool written = in_image && (!mapped || holds_data);
    const std::uint8_t expected = written ? raw[i] : (!mapped && i < (image_size / block + 1) * block ? 0 : 0xAA);
    ASSERT_EQ(drive[i], expected) << format.name << " byte " << i << (written ? " of the image" : " left as it was");
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, EveryFormat,
                         ::testing::Combine(::testing::ValuesIn(formats), ::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_mapped" : "") +
                                  (std::get<2>(info.param) ? "_loop" : "_file");
                         });
