#pragma once
// The decoded chunks of the image kept for the drives of a group that fell too far
// behind to take them from the ring: an unlinked file in the temporary folder (TMPDIR,
// else /tmp). The reader appends every chunk from the first laggard's place on; each
// laggard reads its chunks back in order into buffers of its own. What every laggard
// has passed is given back to the file system, so the file holds no more than the lag
// between the reader and the slowest laggard.
#include <cstddef>
#include <cstdint>

#include "device/block_io.h"
#include "flash/chunk_stamp.h"

class spool_file {
 public:
  // Where one chunk lies in the file, and its stamp.
  struct place {
    chunk_stamp stamp;
    std::uint64_t at = 0;
    std::size_t stored = 0;
  };

  // Throws coded_error (EWRITE) when no file can be made.
  spool_file();

  // Reader side: stores the bytes a writer sends of `chunk` after the last ones. Throws
  // coded_error (EWRITE) when the file system refuses them (full).
  place append(const image_chunk& chunk);
  // Taker side: one stored chunk into `into`; false when it cannot be read back.
  bool read(const place& stored, image_chunk& into) const;
  // Gives the space of bytes [from, to) back to the file system.
  void release(std::uint64_t from, std::uint64_t to);

 private:
  block_io::unique_fd fd_;
  std::uint64_t end_ = 0;  // written by the reader only
};
