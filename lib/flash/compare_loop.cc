#include <algorithm>
#include <cstring>
#include <string>

#include "device/block_io.h"
#include "flash/job_loops.h"
#include "flash/progress_sampler.h"

namespace {

std::string short_read(const char* what, std::uint64_t block, std::size_t got, std::uint64_t wanted) {
  return std::string("failed to read ") + what + " block #" + std::to_string(block) + " with " + std::to_string(got) +
         "/" + std::to_string(wanted) + " bytes";
}

// Counts (and reports) the differing bytes among `count` bytes read from both sides.
// memcmp finds the equal chunks at memory speed.
std::uint64_t count_differences(const image_chunk& chunk, const std::uint8_t* device, std::size_t count,
                                std::uint64_t block_size, mismatch_report& report) {
  const std::uint8_t* image = chunk.bytes.get();
  if (std::memcmp(image, device, count) == 0) return 0;
  std::uint64_t differences = 0;
  for (std::size_t j = 0; j < count; ++j) {
    if (image[j] == device[j]) continue;
    differences += 1;
    const std::uint64_t position = chunk.offset + j;
    report.add(position, position / block_size, position % block_size, device[j], image[j]);
  }
  return differences;
}

}  // namespace

loop_outcome compare_image(const job_settings& job, image_pipeline& image, int device_fd,
                           std::uint8_t* device_buffer, statistics_record& stats, const std::atomic<bool>& cancel,
                           mismatch_report& report) {
  progress_sampler sampler(image, job.block_size);
  loop_outcome outcome;
  std::uint64_t& mismatches = outcome.mismatches;
  bool stopped = false;
  while (image_chunk* chunk = image.next()) {
    stats.progress.source_bytes = image.source_bytes();
    // Only bytes read from both sides are compared; direct reads cover whole sectors.
    const std::size_t image_got = chunk->length;
    const std::size_t wanted = chunk->image_tail ? image_got : chunk->expected;
    const std::size_t device_read = wanted == job.block_size ? wanted : block_io::whole_sectors(wanted);
    const std::size_t device_got =
        std::min(block_io::read_full_at(device_fd, device_buffer, device_read, chunk->offset), wanted);
    const std::size_t compared = std::min(image_got, device_got);
    mismatches += count_differences(*chunk, device_buffer, compared, job.block_size, report);
    outcome.bytes += compared;
    stats.progress.bytes += compared;

    if (!chunk->image_tail) {
      if (image_got != chunk->expected) {
        stats.error_queue(reason::image, short_read("image", chunk->index, image_got, chunk->expected));
        stopped = true;
      } else if (device_got != chunk->expected) {
        stats.error_queue(reason::verify, short_read("device", chunk->index, device_got, chunk->expected), 0,
                          chunk->offset + device_got);
        stopped = true;
      } else {
        stats.update([&](flash_statistics& s) {
          if (!s.sample_due(chunk->index)) return;
          sampler.after_chunk(s, chunk->index);
          s.numwriteerrs = mismatches;
        });
      }
    } else {
      const std::uint64_t image_residual = image_got + chunk->trailing;
      if (image_residual != chunk->expected) {
        stats.error_queue(reason::image, "inconsistent number of residual bytes: " + std::to_string(image_residual) +
                          " != " + std::to_string(chunk->expected));
      } else if (device_got != image_got) {
        stats.error_queue(reason::verify, short_read("device", chunk->index, device_got, chunk->expected), 0,
                          chunk->offset + device_got);
      }
    }
    image.done(chunk);
    if (stopped || cancel) return outcome;
  }
  const std::optional<coded_error> failure = image.failure();
  if (failure) stats.error_queue(*failure, reason::image);
  outcome.complete = !failure;
  return outcome;
}
