#pragma once
// What a write sent to the drive, kept so that a validation right after it can read
// the drive alone: the XXH3-128 hash of every block written (padding included), and a
// fingerprint of the image, block map, drive and block size it was written with.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "drives/phydrive.h"

struct file_identity {
  dev_t device = 0;
  ino_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modified_ns = 0;
  bool operator==(const file_identity& other) const {
    return device == other.device && inode == other.inode && size == other.size && modified_ns == other.modified_ns;
  }
};

struct write_fingerprint {
  std::string image_path;
  file_identity image;
  std::string block_map_path;  // empty: none
  file_identity block_map;
  std::string drive_path;
  std::uint64_t drive_size = 0;
  std::uint64_t write_block_size = 0;

  // Reads the files' identities now.
  static write_fingerprint take(const std::string& image_path, const std::string& block_map_path,
                                const phydrive& drive, std::uint64_t write_block_size);
  bool operator==(const write_fingerprint& other) const;
};

struct hash128 {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  bool operator==(const hash128& other) const { return low == other.low && high == other.high; }
};

hash128 hash_bytes(const std::uint8_t* bytes, std::size_t size);

struct written_extent {
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
  hash128 hash;
};

struct write_record {
  write_fingerprint fingerprint;
  std::vector<written_extent> extents;  // in the order written, ascending
  std::uint64_t image_size = 0;         // decoded bytes of the image, known once it was read whole
};
