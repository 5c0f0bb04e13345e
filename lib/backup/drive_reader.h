#pragma once
// A drive read as an image: its bytes from the start up to an extent, through direct
// reads with several requests in flight (io_uring) ahead of the caller, or one at a
// time where io_uring is missing. The source of a backup, and of a clone.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/block_io.h"
#include "device/io_queue.h"
#include "image/image_source.h"

namespace backup {

// Opens a drive for reading: read-only and exclusive, so that a drive with a mounted
// partition is refused (EBUSY), and with O_DIRECT where the drive takes direct reads.
// Throws coded_error (EREAD) "failed to open device: <reason>".
block_io::unique_fd open_drive(const std::string& path);

class drive_reader : public image::image_source {
 public:
  static constexpr std::size_t request_size = 4 << 20;
  static constexpr unsigned requests_in_flight = 4;

  // Reads `fd` (from open_drive) from byte 0 up to `extent`.
  drive_reader(block_io::unique_fd fd, std::uint64_t extent);

  // Copies the drive's next bytes; fewer than `size` only at the extent. Throws
  // coded_error (EREAD) with the offset of the first sector that cannot be read.
  std::size_t read(std::uint8_t* buffer, std::size_t size) override;
  std::uint64_t skip(std::uint64_t count) override;
  std::uint64_t consumed() const override { return position_; }

 private:
  struct request {
    std::unique_ptr<block_io::aligned_buffer> buffer;
    std::uint64_t offset = 0;
    std::size_t length = 0;  // bytes of the extent the request covers
    bool done = false;
    std::int64_t result = 0;
  };

  void submit(request& r, std::uint64_t offset);
  // Waits for `r` and makes sure it holds all its bytes; throws where they cannot be read.
  void complete(request& r);
  // Reads `r` again piece by piece after a failure; throws at the first unreadable sector.
  void reread(request& r, int error);

  block_io::unique_fd fd_;
  std::uint64_t extent_;
  std::uint64_t position_ = 0;      // next byte given to the caller
  std::uint64_t next_request_ = 0;  // offset of the next request to submit
  std::vector<request> requests_;   // a request for offset o sits in slot (o / request_size) % depth
  // Last: ends (waiting for its reads) before the buffers go. None: synchronous reads.
  std::unique_ptr<block_io::io_queue> queue_;
};

}  // namespace backup
