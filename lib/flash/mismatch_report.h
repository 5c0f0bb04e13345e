#pragma once
// Where a drive differs from its image: every byte, in a text file of right-aligned
// columns of 15 characters where one is asked for, and the sectors, merged into ranges.
#include <cstdint>
#include <fstream>
#include <string>

#include "flash/differing_ranges.h"

class mismatch_report {
 public:
  // An empty path, or a file that cannot be created, gives a report that drops its lines.
  explicit mismatch_report(const std::string& path);

  void add(std::uint64_t position, std::uint64_t block, std::uint64_t offset, std::uint8_t byte_read,
           std::uint8_t byte_expected);
  void close();
  const differing_ranges& sectors() const { return sectors_; }

 private:
  std::ofstream file_;
  differing_ranges sectors_;
};
