#pragma once
// How many writes a direct job keeps in flight on a device. Card readers and cheap USB
// bridges stall, or reset, when more requests wait in them than they queue: a job
// fills at most half of the device's request queue (queue/nr_requests), counting the
// requests one write splits into (queue/max_sectors_kb), and never more than `most`.
// A single write that takes longer than `slow_write` halves the number.
#include <chrono>
#include <cstdint>
#include <string>

namespace queue_depth {

constexpr unsigned most = 8;
// Where the device's queue cannot be read: what every direct job used before.
constexpr unsigned unknown = 3;
constexpr std::chrono::seconds slow_write{5};

// The writes in flight for a queue of `nr_requests` requests of at most
// `max_sectors_kb` KiB each, when each write carries `write_size` bytes; at least 1.
unsigned from_limits(std::uint64_t nr_requests, std::uint64_t max_sectors_kb, std::uint64_t write_size);

// The same from the device's sysfs folder (such as /sys/class/block/sdb), or
// `unknown` where its queue files cannot be read.
unsigned for_device(const std::string& sysfs_dir, std::uint64_t write_size);

}  // namespace queue_depth

// The writes a job may have in flight now: it starts at the device's queue depth and
// halves (to no fewer than one) after each write slower than queue_depth::slow_write.
class in_flight_limit {
 public:
  explicit in_flight_limit(unsigned start) : current_(start < 1 ? 1 : start) {}

  unsigned current() const { return current_; }
  // After one write that took `took`; true when it halved the limit.
  bool after_write(std::chrono::steady_clock::duration took);

 private:
  unsigned current_;
};
