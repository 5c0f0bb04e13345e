#pragma once
// Writes image chunks onto the drive, each at its own offset: one request at a time
// through O_DSYNC ("sync"), or with O_DIRECT and several requests in flight through
// io_uring ("direct"), flushed at each statistics sample and at the end. Where the
// device refuses O_DIRECT (or io_uring is missing) the direct mode falls back to sync.
#include <functional>
#include <memory>
#include <string>

#include "device/block_io.h"
#include "flash/buffer_ring.h"

enum class write_mode { sync, direct };

class device_writer {
 public:
  // Called on the job thread once a chunk's write has ended, whatever its outcome.
  using written_callback = std::function<void(image_chunk* chunk, std::size_t length, block_io::write_result)>;

  virtual ~device_writer() = default;
  // Starts writing `length` bytes of `chunk` (length may exceed the chunk's image
  // bytes by the padding). A sync writer finishes before it returns.
  virtual void write(image_chunk* chunk, std::size_t length) = 0;
  // Waits for every write in flight; nothing is in the kernel's hands after.
  virtual void settle() = 0;
  // Flushes what was written so far to the medium; returns 0, or the errno of a flush
  // the drive failed.
  virtual int flush() = 0;
  // After settle(): flushes and closes the drive; returns 0, or the errno of the first
  // step that failed. Data is on the medium only when it returns 0.
  int finish();
  // Whether writes go through O_DIRECT.
  virtual bool direct() const = 0;

 private:
  // Closes the drive; returns 0 or the errno of close.
  virtual int close_fd() = 0;
};

// Opens the drive's node exclusively (Linux refuses a block device that is mounted or
// otherwise claimed). Throws coded_error (EWRITE) "failed to open device: <reason>".
// `max_in_flight` bounds the direct writer's requests.
std::unique_ptr<device_writer> open_device_writer(const std::string& path, write_mode mode, unsigned max_in_flight,
                                                  device_writer::written_callback written);
