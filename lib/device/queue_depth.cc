#include "device/queue_depth.h"

#include <algorithm>
#include <fstream>

namespace queue_depth {

unsigned from_limits(std::uint64_t nr_requests, std::uint64_t max_sectors_kb, std::uint64_t write_size) {
  const std::uint64_t request_bytes = max_sectors_kb * 1024;
  const std::uint64_t requests_per_write =
      request_bytes == 0 ? 1 : std::max<std::uint64_t>(1, (write_size + request_bytes - 1) / request_bytes);
  const std::uint64_t half_queue = nr_requests / 2;
  const std::uint64_t writes = std::min<std::uint64_t>({half_queue / requests_per_write, half_queue, most});
  return static_cast<unsigned>(std::max<std::uint64_t>(writes, 1));
}

namespace {

bool read_number(const std::string& file, std::uint64_t& value) {
  std::ifstream in(file);
  return static_cast<bool>(in >> value);
}

}  // namespace

unsigned for_device(const std::string& sysfs_dir, std::uint64_t write_size) {
  std::uint64_t nr_requests = 0;
  std::uint64_t max_sectors_kb = 0;
  if (!read_number(sysfs_dir + "/queue/nr_requests", nr_requests) ||
      !read_number(sysfs_dir + "/queue/max_sectors_kb", max_sectors_kb)) {
    return unknown;
  }
  return from_limits(nr_requests, max_sectors_kb, write_size);
}

}  // namespace queue_depth

bool in_flight_limit::after_write(std::chrono::steady_clock::duration took) {
  if (took <= queue_depth::slow_write || current_ == 1) return false;
  current_ /= 2;
  return true;
}
