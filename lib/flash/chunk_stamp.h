#pragma once
// What the reader stamps on a chunk of the image: where it belongs on the drive, how
// much it holds, and the hash of what a writer sends of it.
#include <cstddef>
#include <cstdint>

#include "device/block_io.h"
#include "flash/write_record.h"

struct chunk_stamp {
  std::uint64_t offset = 0;    // drive (and decoded image) offset of bytes[0]
  std::size_t length = 0;      // image bytes held
  std::size_t expected = 0;    // image bytes the chunk should hold; more than length where the image ended early
  std::uint64_t index = 0;     // chunks counted from 0
  bool image_tail = false;     // the image's last, partial block (padded with zeros when written)
  std::uint64_t trailing = 0;  // bytes the image holds beyond its size, counted after the tail
  // The hash of bytes[0, hashed_length), zeros past `length`: computed once for every
  // taker that writes that many bytes.
  std::size_t hashed_length = 0;
  hash128 hash;

  // The bytes a writer may send: the hashed ones, or the image's rounded up to whole sectors.
  std::size_t padded_length() const {
    return hashed_length > block_io::whole_sectors(length) ? hashed_length : block_io::whole_sectors(length);
  }
};

// One chunk of the image in a page-aligned buffer.
struct image_chunk : chunk_stamp {
  explicit image_chunk(std::size_t capacity) : bytes(capacity), capacity(capacity) {}

  block_io::aligned_buffer bytes;
  std::size_t capacity;
};
