// Every image format, with and without a block map, written and validated through the
// jobs onto a file drive and onto a loop device.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <tuple>

#include "flash_fixture.h"
#include "image/zip_directory.h"
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

  // Lists the drive; a file drive is filled with 0xAA.
  void use_drive(const std::string& path, const std::string& name, std::uint64_t size = drive_size) {
    disk.size = size;
    disk.path = path;
    disk.name = name;
    list_disks({disk});
    if (path.rfind("/dev/", 0) != 0) test_support::write_bytes(path, std::vector<std::uint8_t>(size, 0xAA));
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
  use_drive(backing, "fakesd");
  std::unique_ptr<test_support::loop_device> loop;
  if (on_loop_device) {
    loop = std::make_unique<test_support::loop_device>(backing);
    if (!loop->attached()) GTEST_SKIP() << loop->why_not();
    use_drive(loop->path(), loop->path().substr(5));
  }

  auto device = make_job_device();
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

namespace {

enum class damage { corrupt, truncated };

class DamagedImage : public ImageFormats, public ::testing::WithParamInterface<std::tuple<format_case, damage>> {};

}  // namespace

TEST_P(DamagedImage, StopsTheWriteWithTheDecodersReason) {
  const auto [format, how] = GetParam();
  make_image(format);
  const auto size = test_support::read_bytes(image_path).size();
  run(dir.path(), how == damage::truncated
                      ? "truncate -s " + std::to_string(size / 2) + " image"
                      : "printf '\\125\\252\\125\\252\\125\\252\\125\\252' | dd of=image bs=1 seek=" +
                            std::to_string(size / 2) + " conv=notrunc status=none");
  use_drive(dir.file("drive.img"), "fakesd");
  auto device = make_job_device();
  device->set_drive(disk.name);
  device->set_image(image_path);
  device->set_write_block_size(block);
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"].get<std::string>().rfind("image data is corrupt: ", 0), 0u)
      << stats(device->write_stats)["errque"];
}

INSTANTIATE_TEST_SUITE_P(Formats, DamagedImage,
                         ::testing::Combine(::testing::ValuesIn(formats + 1, std::end(formats)),
                                            ::testing::Values(damage::corrupt, damage::truncated)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == damage::corrupt ? "_corrupt" : "_truncated");
                         });

TEST_F(ImageFormats, ImageOfUnknownSizeStopsBeforeTheDrivesEnd) {
  make_image(formats[1]);  // gzip records no size
  use_drive(dir.file("drive.img"), "fakesd", 1 << 20);
  auto device = make_job_device();
  device->set_drive(disk.name);
  device->set_image(image_path);
  device->set_write_block_size(block);
  device->set_first_block_last(false);  // in the image's order, what came before the stop shows
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"], "drive is too small for given image");
  const auto drive = stored(disk.path);
  ASSERT_EQ(drive.size(), disk.size) << "nothing written past the drive's end";
  EXPECT_TRUE(std::equal(drive.begin(), drive.end(), raw.begin()));
}

// The reader learns the end of a gzip image from a read that gives nothing: that empty
// buffer goes back to the ring unpublished.
TEST_F(ImageFormats, ImageOfUnknownSizeEndingOnABlockBoundaryIsWrittenWhole) {
  const auto bytes = test_support::pattern_bytes(32 * block, 5);
  test_support::write_file(dir.file("whole.img"), std::string(bytes.begin(), bytes.end()));
  run(dir.path(), "gzip -c whole.img > image");
  image_path = dir.file("image");
  use_drive(dir.file("drive.img"), "fakesd");
  auto device = make_job_device();
  device->set_drive(disk.name);
  device->set_image(image_path);
  device->set_write_block_size(block);
  device->set_validate_block_size(block);
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"], "");
  run_validate(*device);
  EXPECT_EQ(stats(device->validate_stats)["errque"], "");
  const auto drive = stored(disk.path);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), drive.begin()));
}

TEST_F(ImageFormats, MappedRangeThatFailsItsChecksumStopsTheJob) {
  make_image(formats[0]);
  run(dir.path(), "printf x | dd of=image bs=1 seek=540000 conv=notrunc status=none");
  use_drive(dir.file("drive.img"), "fakesd");
  auto device = make_job_device();
  device->set_drive(disk.name);
  device->set_image(image_path);
  device->set_block_map(dir.file("image.bmap"));
  device->set_write_block_size(block);
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"], "block map checksum mismatch for image bytes 524288-614399");
}

TEST_F(ImageFormats, MalformedOrForeignMapsAreRefusedWhenSet) {
  make_image(formats[0]);
  auto device = make_job_device();
  device->set_image(image_path);
  const struct {
    const char* edit;  // sed script applied to the map
    const char* failure;
  } cases[] = {
      {"s/<bmap/<bmap-not/", "invalid block map: not well-formed XML"},
      {"s/version=\"2.0\"/version=\"3.0\"/", "invalid block map: unsupported version \"3.0\""},
      {"s/> 0-15 </> 16-15 </", "invalid block map: the file does not match its own checksum"},
      {"s/<BmapFileChecksum> ./<BmapFileChecksum> \\&#x30;/", "invalid block map: its own checksum is not written as plain"},
      {"s/<BmapFileChecksum>.*</<!-- -->/; s/> 128-149 </> 0-2 </", "invalid block map: range 0-2 is out of order"},
      {"s/<BmapFileChecksum>.*</<!-- -->/; s/<ImageSize>.*</<ImageSize> 4194304 </",
       "block map does not fit the image: the image holds 2098152 bytes, the map describes 4194304"},
  };
  for (const auto& c : cases) {
    run(dir.path(), std::string("sed -e '") + c.edit + "' image.bmap > edited.bmap");
    EXPECT_EQ(flash_test::failure_of([&] { device->set_block_map(dir.file("edited.bmap")); }).rfind(c.failure, 0), 0u)
        << c.edit << ": " << flash_test::failure_of([&] { device->set_block_map(dir.file("edited.bmap")); });
  }
  EXPECT_EQ(device->block_map, nullptr) << "a refused map is not kept";
}

TEST_F(ImageFormats, CancelWhileDecodingEndsBothThreads) {
  test_support::write_bytes(dir.file("raw.img"), test_support::pattern_bytes(24 << 20, 3));
  run(dir.path(), "xz -T2 -0 -c raw.img > image.xz");
  use_drive(dir.file("drive.img"), "fakesd", 32 << 20);
  auto device = make_job_device();
  device->set_drive(disk.name);
  device->set_image(dir.file("image.xz"));
  device->set_write_block_size(1 << 20);
  flash_test::job_end end;
  device->write_async(end.callback());
  device->request_cancel_write();
  ASSERT_TRUE(end.wait(std::chrono::seconds(30))) << "the job did not end after the cancel";
  EXPECT_EQ(stats(device->write_stats)["completed"], 0.0);
  EXPECT_EQ(test_support::read_bytes(disk.path)[(24 << 20) - 1], 0xAA) << "the write stopped early";
}

// A file shrinking under a mapped read raises SIGBUS, which ends the process.
TEST_F(ImageFormats, AnImageTruncatedWhileInspectedAndWrittenFailsTheJobOnly) {
  make_image(formats[3]);  // zstd
  const std::string whole = test_support::read_file(image_path);
  use_drive(dir.file("drive.img"), "fakesd");
  auto device = make_job_device();
  device->set_drive(disk.name);
  device->set_write_block_size(block);
  std::atomic<bool> done{false};
  std::thread shrinking([&, fd = ::open(image_path.c_str(), O_WRONLY)] {
    for (; !done; ::pwrite(fd, whole.data(), whole.size(), 0)) {
      ::ftruncate(fd, 4096);
      std::this_thread::sleep_for(std::chrono::microseconds(300));  // mostly short: the write meets it
    }
    ::close(fd);
  });
  for (int i = 0; i < 300; ++i) device->set_image(image_path);
  run_write(*device);
  done = true;
  shrinking.join();
  // Whether the write met the file short depends on the threads' timing: if it did, the
  // job failed with EIMAGE, and either way the process lives.
  const auto errors = nlohmann::json::parse(device->write_stats.get_report_json())["errors"];
  EXPECT_TRUE(errors.empty() || errors[0]["reason"] == "EIMAGE") << errors;
}

namespace {

// A zip64 archive with one stored member whose directory fields a server could set to
// anything, at the end of a file of `size` bytes of which only the archive is stored.
// Records the largest read asked of it.
class forged_zip : public image::random_access {
 public:
  forged_zip(std::uint64_t size, std::uint64_t directory_offset, std::uint64_t directory_size,
             std::uint64_t compressed_size) {
    put(0x04034b50, 4), bytes_.resize(30 + 16);  // the member's header, no name, then 16 bytes of data
    const std::uint64_t entry_at = bytes_.size();
    put(0x02014b50, 4), put(0, 16), put(0xffffffff, 4), put(0xffffffff, 4), put(1, 2), put(20, 2), put(0, 14);
    bytes_.push_back('a');
    put(1, 2), put(16, 2), put(16, 8), put(compressed_size, 8);  // the zip64 extra: size, compressed size
    const std::uint64_t end64_at = bytes_.size();
    put(0x06064b50, 4), put(0, 28), put(1, 8);
    put(directory_size ? directory_size : end64_at - entry_at, 8), put(directory_offset ? directory_offset : entry_at, 8);
    put(0x07064b50, 4), put(0, 4), put(end64_at, 8), put(1, 4);
    put(0x06054b50, 4), put(0, 6), put(0xffff, 2), put(0xffffffff, 4), put(0xffffffff, 4), put(0, 2);
    size_ = std::max<std::uint64_t>(size, bytes_.size());
  }
  std::uint64_t size() const override { return size_; }
  bool read_at(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override {
    largest_read = std::max(largest_read, size);
    if (offset > size_ || size > size_ - offset) return false;
    // The archive's own offsets count from its start; the end record is the file's end.
    const std::uint64_t start = size_ - bytes_.size();
    for (std::size_t i = 0; i < size; ++i) {
      const std::uint64_t at = offset + i >= start ? offset + i - start : offset + i;
      buffer[i] = at < bytes_.size() ? bytes_[at] : 0;
    }
    return true;
  }
  std::size_t largest_read = 0;

 private:
  void put(std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes_.push_back(i < 8 ? static_cast<std::uint8_t>(value >> (8 * i)) : 0);
  }
  std::vector<std::uint8_t> bytes_;
  std::uint64_t size_ = 0;
};

}  // namespace

TEST(ZipDirectory, SizesTheArchiveSetAreCappedAndTheirSumsCannotWrap) {
  struct {
    const char* forged;
    std::uint64_t size, directory_offset, directory_size, compressed_size;
    const char* failure;
  } cases[] = {
      {"a directory of 64 MiB in a file said to hold 1 TiB", 1ull << 40, 0, 64 << 20, 16,
       "image data is corrupt: zip directory of 67108864 bytes is larger than an image archive's 4194304"},
      {"a directory whose end wraps past 2^64", 0, UINT64_MAX - 15, 64, 16,
       "image data is corrupt: zip directory lies past the end of the archive"},
      {"a member whose end wraps past 2^64", 0, 0, 0, UINT64_MAX - 20,
       "image data is corrupt: zip member lies past the end of the archive"},
  };
  for (const auto& c : cases) {
    forged_zip archive(c.size, c.directory_offset, c.directory_size, c.compressed_size);
    EXPECT_EQ(flash_test::failure_of([&] { image::find_image_member(archive); }), c.failure) << c.forged;
    EXPECT_LE(archive.largest_read, std::size_t{1 << 20}) << c.forged;
  }
}
