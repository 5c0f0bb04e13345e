#include "finish/drive_access.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "device/block_io.h"
#include "support/coded_error.h"

std::uint32_t logical_sector_size(int fd) {
  int size = 0;
  if (::ioctl(fd, BLKSSZGET, &size) != 0 || size <= 0) return 512;
  return static_cast<std::uint32_t>(size);
}

read_at reader_of(int fd) {
  return [fd](std::uint64_t offset, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    bytes.resize(block_io::read_full_at(fd, bytes.data(), length, offset));
    return bytes;
  };
}

namespace {

// What the medium holds at `offset`: read past the kernel's cache in whole 4 KiB units.
std::vector<std::uint8_t> read_medium(int fd, std::uint64_t offset, std::size_t length) {
  const std::uint64_t start = offset / 4096 * 4096;
  const std::size_t span = block_io::whole_sectors(offset + length - start);
  block_io::aligned_buffer buffer(span);
  const std::size_t got = block_io::read_full_at(fd, buffer.get(), span, start);
  const std::size_t skip = offset - start;
  if (got <= skip) return {};
  const std::size_t usable = std::min(length, got - skip);
  return std::vector<std::uint8_t>(buffer.get() + skip, buffer.get() + skip + usable);
}

}  // namespace

void write_and_check(const held_drive& drive, const std::vector<sector_write>& writes) {
  const int held = drive.fd();
  for (const sector_write& w : writes) {
    const block_io::write_result result = block_io::write_full_at(held, w.bytes.data(), w.bytes.size(), w.offset);
    if (result.written != static_cast<std::int64_t>(w.bytes.size())) {
      throw coded_error(reason::write, "failed to write " + std::to_string(w.bytes.size()) + " bytes at " + std::to_string(w.offset),
                        result.error, w.offset);
    }
  }
  if (::fsync(held) != 0) throw coded_error(reason::write, "failed to flush the device", errno);
  block_io::aligned_buffer probe(4096);
  block_io::unique_fd device(block_io::open_for_read_back(drive.path(), probe.get()));
  if (!device.valid()) throw coded_error(reason::verify, "failed to open device", errno);
  for (const sector_write& w : writes) {
    if (read_medium(device.get(), w.offset, w.bytes.size()) != w.bytes) {
      throw coded_error(reason::write, "the " + std::to_string(w.bytes.size()) + " bytes written at " + std::to_string(w.offset) +
                                           " read back differently", 0, w.offset);
    }
  }
}
