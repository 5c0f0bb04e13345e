#pragma once
// Whole-block reads and writes on file descriptors, and a descriptor owner.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace block_io {

// Closes the descriptor it owns.
class unique_fd {
 public:
  explicit unique_fd(int fd = -1) : fd_(fd) {}
  ~unique_fd();
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  unique_fd(unique_fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  unique_fd& operator=(unique_fd&&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now; returns 0, or the errno of a close that failed (a drive may report a
  // failed write-back there). Closing an invalid descriptor does nothing.
  int close();

 private:
  int fd_;
};

// A page-aligned byte buffer, as direct I/O needs and as the kernel copies fastest.
class aligned_buffer {
 public:
  explicit aligned_buffer(std::size_t size);
  ~aligned_buffer();
  aligned_buffer(const aligned_buffer&) = delete;
  aligned_buffer& operator=(const aligned_buffer&) = delete;
  std::uint8_t* get() const { return bytes_; }

 private:
  std::uint8_t* bytes_ = nullptr;
};

// Opens a device for reading back what the medium holds: with O_DIRECT where the
// device takes it, otherwise buffered after flushing and dropping its cached pages.
// `probe` (page-aligned, at least 4096 bytes) serves to test a direct read.
int open_for_read_back(const std::string& path, std::uint8_t* probe);

// `size` rounded up to whole 4096-byte units: direct reads must cover whole sectors.
inline std::size_t whole_sectors(std::size_t size) { return (size + 4095) / 4096 * 4096; }

// Reads until `size` bytes are in or the file ends; returns the count read. A read
// error ends the count like the end of the file.
std::size_t read_full(int fd, std::uint8_t* buffer, std::size_t size);

// Reads until `size` bytes from `offset` on are in or the file ends; returns the count.
std::size_t read_full_at(int fd, std::uint8_t* buffer, std::size_t size, std::uint64_t offset);

// The outcome of a positional write: the bytes written (-1 when none) and, when it
// fell short, the errno that stopped it.
struct write_result {
  std::int64_t written = 0;
  int error = 0;
};

// Writes all `size` bytes at `offset`, resuming after short writes and interruptions.
write_result write_full_at(int fd, const std::uint8_t* buffer, std::size_t size, std::uint64_t offset);

// Flushes the device and drops its cached pages, so that the next reads come from the
// medium rather than from what the kernel remembers of earlier writes.
void drop_cached_pages(int fd);

// The system's text for the current errno.
std::string last_error_text();

}  // namespace block_io
