#pragma once
// The command line of the fault device: which faults it plays, where its data lives.
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace fault_device {

// Bytes [begin, end) of the exposed file.
struct byte_range {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  bool overlaps(std::uint64_t offset, std::uint64_t size) const { return offset < end && begin < offset + size; }
};

struct options {
  std::string backing;                 // sparse file that holds the kept bytes
  std::uint64_t size = 0;              // size the exposed file reports
  std::uint64_t keep = 0;              // bytes really kept (counterfeit drive); `size` when not given
  bool wrap = true;                    // past `keep`: wrap to offset mod keep, else drop
  std::vector<byte_range> fail_read;   // requests touching these fail with EIO
  std::vector<byte_range> fail_write;
  std::vector<byte_range> lose_once;   // writes here are acknowledged but lost, the first time each byte is written
  std::vector<byte_range> lose;        // writes here are acknowledged but lost, every time
  bool pull_armed = false;             // pulled out once `pull_after` bytes were written
  std::uint64_t pull_after = 0;
  int pull_errno = EIO;                // what every request gets once pulled out
  std::uint64_t rate = 0;              // bytes per second over all requests; 0: no limit
  bool rate_changes = false;           // `later_rate` replaces `rate` once `rate_change_after` bytes were written
  std::uint64_t rate_change_after = 0;
  std::uint64_t later_rate = 0;
  std::uint64_t delay_us = 0;          // added to every request
  bool fail_flush = false;             // every flush of the drive's cache fails with EIO
  std::vector<std::string> fuse_args;  // everything else: the mount point and libfuse's options
};

// Reads the "--name=value" options; throws std::invalid_argument naming the bad one.
options parse(int argc, char** argv);

}  // namespace fault_device
