#include <algorithm>
#include <cerrno>
#include <string>

#include "device/block_io.h"
#include "flash/job_loops.h"
#include "flash/progress_sampler.h"

namespace {

// Tells a drive that is gone from one failing in places.
class removal_watch {
 public:
  static constexpr int failures_in_a_row_for_removal = 8;

  bool gone_after(int error) {
    if (error == ENODEV || error == ENXIO) return true;
    failures_in_a_row_ = error == EIO ? failures_in_a_row_ + 1 : 0;
    return failures_in_a_row_ >= failures_in_a_row_for_removal;
  }
  void succeeded() { failures_in_a_row_ = 0; }

 private:
  int failures_in_a_row_ = 0;
};

std::string image_short_text(const image_chunk& chunk) {
  const std::string counts = std::to_string(chunk.length) + "/" + std::to_string(chunk.expected) + " bytes";
  if (chunk.image_tail) return "failed to read image residual block with " + counts;
  return "failed to read image block #" + std::to_string(chunk.index) + " with " + counts;
}

std::uint64_t round_up(std::uint64_t value, std::uint64_t unit) { return unit == 0 ? value : (value + unit - 1) / unit * unit; }

// The bytes to write for `chunk`: the image's, the last block padded with zeros to a
// whole block, and never past the drive's end (there the padding stops at the sector).
std::size_t write_length(const job_settings& job, const image_chunk& chunk) {
  const std::uint64_t sector = job.drive.block_size == 0 ? 512 : job.drive.block_size;
  std::uint64_t length = chunk.image_tail ? job.block_size : round_up(chunk.length, sector);
  const std::uint64_t room = job.drive.disk_size > chunk.offset ? job.drive.disk_size - chunk.offset : 0;
  if (length > room) length = std::max<std::uint64_t>(round_up(room, sector), chunk.length);
  return static_cast<std::size_t>(length);
}

}  // namespace

void write_image(const job_settings& job, image_pipeline& image, int device_fd, statistics_record& stats,
                 const std::atomic<bool>& cancel) {
  progress_sampler sampler(image, job.block_size);
  removal_watch removal;
  bool stopped = false;
  while (image_chunk* chunk = image.next()) {
    if (chunk->length < chunk->expected) {
      stats.error_queue(image_short_text(*chunk));
      stopped = true;
    } else if (chunk->offset + chunk->length > job.drive.disk_size) {
      stats.error_queue("drive is too small for given image");
      stopped = true;
    } else {
      const std::size_t length = write_length(job, *chunk);
      std::fill(chunk->bytes.get() + chunk->length, chunk->bytes.get() + length, std::uint8_t{0});
      const block_io::write_result result = block_io::write_full_at(device_fd, chunk->bytes.get(), length, chunk->offset);
      if (result.written == static_cast<std::int64_t>(length)) {
        removal.succeeded();
      } else if (removal.gone_after(result.error)) {
        stats.error_queue("drive was removed during the job");
        stopped = true;
      } else {
        const std::string counts = std::to_string(result.written) + "/" + std::to_string(length) + " bytes";
        stats.error_queue(chunk->image_tail ? "failed to write residual block with " + counts
                                            : "failed to write block #" + std::to_string(chunk->index) + " with " + counts);
      }
      if (!chunk->image_tail) stats.update([&](flash_statistics& s) { sampler.after_chunk(s, chunk->index); });
    }
    image.done(chunk);
    if (stopped || cancel) return;
  }
  const std::string failure = image.failure();
  if (!failure.empty()) stats.error_queue(failure);
}
