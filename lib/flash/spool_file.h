#pragma once
// The decoded chunks of the image kept for the drives of a group that fell too far
// behind to take them from the ring: an unlinked file in the temporary folder (TMPDIR,
// else /tmp). The reader appends every chunk from the first laggard's place on; each
// laggard reads its chunks back in order into buffers of its own. What every drive of
// the group has passed, those still on the ring too (any may move here later), is given
// back to the file system, so the file holds no more than the lag between the reader
// and the slowest drive.
#include <cstddef>
#include <cstdint>

#include "device/block_io.h"
#include "flash/chunk_stamp.h"

class spool_file {
 public:
  // Where one chunk lies in the file, its stamp, and the XXH3 hash of the bytes stored,
  // by which a read back knows it got them and not a hole or another record.
  struct place {
    chunk_stamp stamp;
    std::uint64_t at = 0;
    std::size_t stored = 0;
    std::uint64_t checksum = 0;
  };

  // Throws coded_error (EWRITE) when no file can be made.
  spool_file();

  // Reader side: stores the bytes a writer sends of `chunk` after the last ones. Throws
  // coded_error (EWRITE) when the file system refuses them (full).
  place append(const image_chunk& chunk);
  // Taker side: one stored chunk into `into`. Throws coded_error (EWRITE) when it cannot
  // be read back whole or its bytes are not those stored.
  void read(const place& stored, image_chunk& into) const;
  // Gives the space of bytes [from, to) back to the file system.
  void release(std::uint64_t from, std::uint64_t to);

 private:
  block_io::unique_fd fd_;
  std::uint64_t end_ = 0;  // written by the reader only
};
