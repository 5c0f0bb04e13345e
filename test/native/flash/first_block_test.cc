// The image's first MiB goes onto the drive last, zeros standing in for it until then:
// the order of the writes, and what a failed, cancelled or refused job leaves, with and
// without a block map.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "flash_fixture.h"
#include "image/range_checksum.h"

using flash_test::flash_fixture;

namespace {

constexpr std::size_t MiB = 1 << 20;
constexpr std::size_t image_size = 2 * MiB + 512 * 1024 + 1000;
constexpr std::size_t block = 256 * 1024;

std::vector<std::uint8_t> bytes_of(std::size_t size, std::uint8_t value) { return std::vector<std::uint8_t>(size, value); }

std::vector<std::uint8_t> operator+(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class FirstBlockLast : public flash_fixture {
 protected:
  // A 4 MiB drive: a file filled with 0xAA, or a FIFO that shows the order of the writes.
  void set_up(bool fifo = false) {
    disk.size = 4 * MiB;
    if (fifo) {
      disk.path = dir.file("drive.fifo");
      ASSERT_EQ(::mkfifo(disk.path.c_str(), 0600), 0);
    } else {
      test_support::write_bytes(disk.path, bytes_of(disk.size, 0xAA));
    }
    list_disks({disk});
    device = make_job_device();
    choose(*device, image_size, block);
  }

  std::vector<std::uint8_t> part(std::size_t from, std::size_t to) const {
    return {image.begin() + static_cast<long>(from), image.begin() + static_cast<long>(to)};
  }

  // Starts the write and reads what it sends down the FIFO, `cancel_after` bytes in
  // (0: never) asking it to stop.
  std::vector<std::uint8_t> stream(std::size_t cancel_after = 0) {
    flash_test::job_end end;
    device->write_async(end.callback());
    const int fd = ::open(disk.path.c_str(), O_RDONLY);
    std::vector<std::uint8_t> got;
    std::vector<std::uint8_t> buffer(64 * 1024);
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
      got.insert(got.end(), buffer.begin(), buffer.begin() + n);
      if (cancel_after != 0 && got.size() >= cancel_after) device->request_cancel_write();
    }
    ::close(fd);
    EXPECT_TRUE(end.wait());
    return got;
  }

  std::string sha256() const {
    image::range_checksum sum("sha256");
    sum.update(image.data(), image.size());
    return sum.hex_digest();
  }

  // A block map of three ranges: two within the first MiB, one past it.
  void map_ranges() {
    test_support::write_file(dir.file("image.bmap"),
                             "<?xml version=\"1.0\" ?>\n<bmap version=\"2.0\"><ImageSize>" + std::to_string(image_size) +
                                 "</ImageSize><BlockSize>4096</BlockSize><BlocksCount>" + std::to_string(image_size / 4096 + 1) +
                                 "</BlocksCount><MappedBlocksCount>294</MappedBlocksCount><ChecksumType>sha256</ChecksumType>"
                                 "<BlockMap><Range>0-15</Range><Range>128-149</Range><Range>384-639</Range></BlockMap></bmap>\n");
    device->set_block_map(dir.file("image.bmap"));
  }

  std::shared_ptr<flash_device> device;
};

}  // namespace

TEST_F(FirstBlockLast, ZerosComeFirstThenTheRestThenTheFirstMiB) {
  set_up(true);
  const std::size_t padding = block - (image_size % block);
  EXPECT_EQ(stream(), bytes_of(MiB, 0) + part(MiB, image_size) + bytes_of(padding, 0) + part(0, MiB));
  EXPECT_EQ(stats(device->write_stats)["errque"], "");
}

TEST_F(FirstBlockLast, ACancelledWriteNeverSendsTheFirstMiB) {
  set_up(true);
  const auto sent = stream(MiB + block);
  ASSERT_GE(sent.size(), MiB + block);
  const std::size_t zeros_and_rest = MiB + (image_size - MiB) + (block - image_size % block);
  EXPECT_LE(sent.size(), zeros_and_rest) << "the first MiB came after the cancel";
  EXPECT_EQ(std::vector<std::uint8_t>(sent.begin(), sent.begin() + MiB), bytes_of(MiB, 0));
}

TEST_F(FirstBlockLast, AChecksumMismatchLeavesTheZerosAndARefusalLeavesTheDriveUntouched) {
  set_up();
  device->set_sha256(std::string(64, '0'));
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"], "image checksum mismatch: expected " + std::string(64, '0') + ", got " + sha256());
  auto drive = test_support::read_bytes(disk.path);
  EXPECT_EQ(drive, bytes_of(MiB, 0) + part(MiB, image_size) + bytes_of(block - image_size % block, 0) +
                       bytes_of(disk.size - image_size - (block - image_size % block), 0xAA));

  test_support::write_bytes(disk.path, bytes_of(disk.size, 0xAA));
  test_support::write_file(dir.file("SHA256SUMS"), sha256() + "  other.bin\n");
  device->set_sha256("");
  device->set_checksums(dir.file("SHA256SUMS"));
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["errque"], "no checksum for image.bin in " + dir.file("SHA256SUMS"));
  EXPECT_EQ(test_support::read_bytes(disk.path), bytes_of(disk.size, 0xAA));
}

TEST_F(FirstBlockLast, ABlockMappedImageHasZerosOnlyInItsRangesWithinTheFirstMiB) {
  set_up();
  map_ranges();
  const auto untouched = [&](std::size_t from, std::size_t to) { return bytes_of(to - from, 0xAA); };
  const std::size_t k = 1024;
  for (const bool right : {false, true}) {
    test_support::write_bytes(disk.path, bytes_of(disk.size, 0xAA));
    device->set_sha256(right ? sha256() : std::string(64, '0'));
    run_write(*device);
    EXPECT_EQ(stats(device->write_stats)["errque"] == "", right);
    const auto first = [&](std::size_t from, std::size_t to) { return right ? part(from, to) : bytes_of(to - from, 0); };
    EXPECT_EQ(test_support::read_bytes(disk.path), first(0, 64 * k) + untouched(64 * k, 512 * k) + first(512 * k, 600 * k) +
                                                       untouched(600 * k, 1536 * k) + part(1536 * k, 2560 * k) +
                                                       untouched(2560 * k, disk.size))
        << (right ? "the write that passed" : "the write that failed");
  }
  run_validate(*device);
  EXPECT_EQ(stats(device->validate_stats)["numwriteerrs"], 0) << "the verification sees the final bytes";
}
