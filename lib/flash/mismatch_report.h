#pragma once
// The text file listing every byte in which a drive differs from its image, in
// right-aligned columns of 15 characters.
#include <cstdint>
#include <fstream>
#include <string>

class mismatch_report {
 public:
  // An empty path, or a file that cannot be created, gives a report that drops its lines.
  explicit mismatch_report(const std::string& path);

  void add(std::uint64_t position, std::uint64_t block, std::uint64_t offset, std::uint8_t byte_read,
           std::uint8_t byte_expected);
  void close();

 private:
  std::ofstream file_;
};
