#include "backup/drive_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/coded_error.h"

namespace backup {

namespace {

// Pieces in which a failed request is read again, then sectors within the failing piece
// (4 KiB: what a direct read covers on any drive).
constexpr std::size_t reread_piece = 64 << 10;
constexpr std::size_t sector = 4096;

[[noreturn]] void unreadable(std::uint64_t offset, int error) {
  throw coded_error(reason::read,
                    "failed to read the drive at byte " + std::to_string(offset) + ": " + std::strerror(error), error,
                    offset);
}

// Reads `size` bytes at `offset`, resuming after short reads; returns the errno of a
// failure, ENODATA where the drive ends first, 0 when all came in.
int read_exactly(int fd, std::uint8_t* buffer, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    // Direct reads must cover whole sectors: read them, keep what was asked for.
    const ssize_t n = ::pread(fd, buffer + done, block_io::whole_sectors(size - done), static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENODATA;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace

block_io::unique_fd open_drive(const std::string& path) {
  block_io::unique_fd direct(::open(path.c_str(), O_RDONLY | O_EXCL | O_DIRECT | O_CLOEXEC));
  if (direct.valid()) {
    // Some files open with O_DIRECT yet refuse the reads (EINVAL): try one.
    block_io::aligned_buffer probe(4096);
    if (::pread(direct.get(), probe.get(), 4096, 0) >= 0 || errno != EINVAL) return direct;
  } else if (errno != EINVAL) {
    throw coded_error(reason::read, "failed to open device: " + block_io::last_error_text(), errno);
  }
  block_io::unique_fd buffered(::open(path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
  if (!buffered.valid()) throw coded_error(reason::read, "failed to open device: " + block_io::last_error_text(), errno);
  return buffered;
}

drive_reader::drive_reader(block_io::unique_fd fd, std::uint64_t extent)
    : fd_(std::move(fd)), extent_(extent), requests_(requests_in_flight) {
  for (request& r : requests_) {
    // A sector to spare: a read resumed after a short one still covers whole sectors.
    r.buffer = std::make_unique<block_io::aligned_buffer>(request_size + sector);
    // Defined from the start: memory checkers do not see the kernel fill it through io_uring.
    std::memset(r.buffer->get(), 0, request_size + sector);
  }
  try {
    queue_ = std::make_unique<block_io::io_queue>(requests_in_flight);
  } catch (const std::runtime_error&) {
    // Synchronous reads then.
  }
  while (next_request_ < extent_ && next_request_ < requests_in_flight * request_size) {
    submit(requests_[(next_request_ / request_size) % requests_in_flight], next_request_);
  }
}

void drive_reader::submit(request& r, std::uint64_t offset) {
  r.offset = offset;
  r.length = static_cast<std::size_t>(std::min<std::uint64_t>(request_size, extent_ - offset));
  r.done = false;
  next_request_ = offset + r.length;
  if (queue_) {
    queue_->read(fd_.get(), r.buffer->get(), block_io::whole_sectors(r.length), offset, offset / request_size);
    return;
  }
  const int error = read_exactly(fd_.get(), r.buffer->get(), r.length, offset);
  r.result = error == 0 ? static_cast<std::int64_t>(r.length) : -error;
  r.done = true;
}

void drive_reader::complete(request& r) {
  while (!r.done) {
    const block_io::io_queue::completion c = queue_->wait();
    request& finished = requests_[c.tag % requests_in_flight];
    finished.done = true;
    finished.result = c.result;
  }
  if (r.result < 0) {
    reread(r, static_cast<int>(-r.result));
    return;
  }
  // A short read (the end of a drive smaller than it seemed, or a split request):
  // the rest one request at a time.
  const auto got = std::min<std::size_t>(static_cast<std::size_t>(r.result), r.length);
  if (got < r.length) {
    const int error = read_exactly(fd_.get(), r.buffer->get() + got, r.length - got, r.offset + got);
    if (error != 0) reread(r, error);
  }
  r.result = static_cast<std::int64_t>(r.length);
}

void drive_reader::reread(request& r, int error) {
  for (std::size_t piece = 0; piece < r.length; piece += reread_piece) {
    const std::size_t piece_length = std::min(reread_piece, r.length - piece);
    if (read_exactly(fd_.get(), r.buffer->get() + piece, piece_length, r.offset + piece) == 0) continue;
    for (std::size_t at = piece; at < piece + piece_length; at += sector) {
      const std::size_t length = std::min(sector, piece + piece_length - at);
      const int sector_error = read_exactly(fd_.get(), r.buffer->get() + at, length, r.offset + at);
      if (sector_error != 0) unreadable(r.offset + at, sector_error == ENODATA ? error : sector_error);
    }
  }
  r.result = static_cast<std::int64_t>(r.length);
}

std::size_t drive_reader::read(std::uint8_t* buffer, std::size_t size) {
  std::size_t made = 0;
  while (made < size && position_ < extent_) {
    request& r = requests_[(position_ / request_size) % requests_in_flight];
    complete(r);
    const std::size_t from = static_cast<std::size_t>(position_ - r.offset);
    const std::size_t count = std::min(size - made, r.length - from);
    std::memcpy(buffer + made, r.buffer->get() + from, count);
    made += count;
    position_ += count;
    if (position_ == r.offset + r.length && next_request_ < extent_) submit(r, next_request_);
  }
  return made;
}

std::uint64_t drive_reader::skip(std::uint64_t count) {
  std::uint64_t skipped = 0;
  std::vector<std::uint8_t> scratch;
  while (skipped < count && position_ < extent_) {
    scratch.resize(static_cast<std::size_t>(std::min<std::uint64_t>(request_size, count - skipped)));
    const std::size_t got = read(scratch.data(), scratch.size());
    if (got == 0) break;
    skipped += got;
  }
  return skipped;
}

}  // namespace backup
