#pragma once
// Several reads or writes in flight on one descriptor, through io_uring (liburing).
// Each request carries a tag; completions come back in any order.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace block_io {

class io_queue {
 public:
  struct completion {
    std::uint64_t tag = 0;
    std::int64_t result = 0;  // bytes moved, or -errno
  };

  // Throws std::runtime_error where io_uring cannot be set up.
  explicit io_queue(unsigned depth);
  // Waits for every request still in flight: no buffer is in the kernel's hands after.
  ~io_queue();
  io_queue(const io_queue&) = delete;
  io_queue& operator=(const io_queue&) = delete;

  void read(int fd, std::uint8_t* buffer, std::size_t size, std::uint64_t offset, std::uint64_t tag);
  void write(int fd, const std::uint8_t* buffer, std::size_t size, std::uint64_t offset, std::uint64_t tag);
  // Waits for the next completion; call only while in_flight() > 0.
  completion wait();
  unsigned in_flight() const { return in_flight_; }

 private:
  struct ring;
  std::unique_ptr<ring> ring_;
  unsigned in_flight_ = 0;
};

}  // namespace block_io
