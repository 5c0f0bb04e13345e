#pragma once
// The first MiB that an image writes, held back until the rest of the image is on the
// drive, flushed, and has passed its checks (the published checksum): until then zeros
// stand in for it, so that a drive whose write failed or was cancelled never looks
// like a finished one (its partition table and boot code are gone, not half there).
// The parts are copies of the ring's chunks; the ring's own go back at once.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "flash/buffer_ring.h"

class first_block {
 public:
  static constexpr std::uint64_t span = std::uint64_t{1} << 20;

  // Whether a chunk's write starts within the first MiB.
  static bool reaches(const image_chunk& chunk) { return chunk.offset < span; }

  // Takes the write of `length` bytes of `chunk`, which reaches into the first MiB:
  // keeps a copy of the part within it, and returns a copy of the part past it to be
  // written now, or nullptr. Each part the holder makes holds `length` image bytes of
  // the chunk's, and `hashed_length` bytes to write, with their hash.
  image_chunk* take(const image_chunk& chunk, std::size_t length);

  // Zeros over every held part, to be written before any image data: given once, then
  // empty.
  std::vector<image_chunk*> zeros();
  // The held parts, with the image's bytes: written last.
  const std::vector<image_chunk*>& held() const { return held_; }
  // Whether the chunk is one of the holder's, not the ring's.
  bool owns(const image_chunk* chunk) const;

 private:
  image_chunk* part(const image_chunk& chunk, std::size_t from, std::size_t to, bool zero);

  std::vector<std::unique_ptr<image_chunk>> parts_;
  std::vector<image_chunk*> held_;
  bool zeros_given_ = false;
};
