#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "device/block_io.h"
#include "device/queue_depth.h"
#include "flash/device_writer.h"
#include "flash/first_block.h"
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

// Adds the time `work` takes to `total`.
template <class Work>
void timed(std::atomic<std::uint64_t>& total, Work&& work) {
  const auto started = std::chrono::steady_clock::now();
  work();
  total += static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started).count());
}

}  // namespace

unsigned writes_in_flight(const phydrive& drive, write_mode mode, std::uint64_t block_size) {
  if (mode == write_mode::sync) return 1;
  return queue_depth::for_device("/sys/class/block/" + drive.identifier, block_size);
}

std::size_t chunks_held(const phydrive& drive, write_mode mode, std::uint64_t block_size) {
  return std::max<std::size_t>(image_pipeline::ring_depth, writes_in_flight(drive, mode, block_size) + 1);
}

loop_outcome write_image(const job_settings& job, image_pipeline& image, std::size_t taker, statistics_record& stats,
                         const std::atomic<bool>& cancel, write_record& record) {
  loop_outcome outcome;
  progress_sampler sampler(image, job.block_size);
  removal_watch removal;
  bool stopped = false;
  bool removed = false;
  bool block_failed = false;
  int flush_failure = 0;
  // The parts of the first MiB, held back until the rest is on the drive.
  const std::unique_ptr<first_block> first = job.first_block_last ? std::make_unique<first_block>() : nullptr;
  std::unique_ptr<device_writer> device;
  auto written = [&](image_chunk* chunk, std::size_t length, block_io::write_result result) {
    const bool own = first && first->owns(chunk);
    if (result.written == static_cast<std::int64_t>(length)) {
      removal.succeeded();
      outcome.bytes += chunk->length;
      stats.progress.bytes += chunk->length;
    } else if (removal.gone_after(result.error)) {
      if (!removed) stats.error_queue(reason::removed, "drive was removed during the job", result.error, chunk->offset);
      removed = stopped = true;
    } else {
      const std::string counts = std::to_string(result.written) + "/" + std::to_string(length) + " bytes";
      stats.error_queue(reason::write,
                        chunk->image_tail ? "failed to write residual block with " + counts
                                          : "failed to write block #" + std::to_string(chunk->index) + " with " + counts,
                        result.error, chunk->offset);
      block_failed = true;
    }
    if (own) return;  // the holder's copies: not the ring's, and no sample of their own
    bool sampled = false;
    if (!chunk->image_tail) {
      stats.update([&](flash_statistics& s) {
        sampled = s.sample_due(chunk->index);
        sampler.after_chunk(s, chunk->index);
      });
    }
    image.done(chunk);
    if (sampled && flush_failure == 0) flush_failure = device->flush();
  };
  // One buffer of the ring stays out of the device's hands, so the reader can go on.
  device = open_device_writer(job.drive.path, job.mode, static_cast<unsigned>(chunks_held(job) - 1), written);
  job_progress& live = stats.progress;
  live.queue_depth = device->in_flight_limit();
  // Zeros stand in for the held parts before any image byte reaches the drive.
  const auto write_zeros = [&] {
    if (!first) return;
    for (image_chunk* zero : first->zeros()) device->write(zero, zero->hashed_length);
  };
  const auto write_now = [&](image_chunk* chunk, std::size_t length, const hash128& hash) {
    write_zeros();
    record.extents.push_back({chunk->offset, static_cast<std::uint32_t>(length), hash});
    timed(live.waited_for_device_ns, [&] { device->write(chunk, length); });
    live.queue_depth = device->in_flight_limit();
    live.queue_depth_halvings = device->halvings();
  };

  bool image_ended = true;
  for (;;) {
    image_chunk* chunk = nullptr;
    timed(live.waited_for_image_ns, [&] { chunk = image.next(taker); });
    if (chunk == nullptr) break;
    live.source_bytes = image.source_bytes();
    if (image.spooled(taker)) live.spooled_bytes += chunk->length;
    if (chunk->length < chunk->expected) {
      stats.error_queue(reason::image, short_read_text(*chunk));
      stopped = true;
    } else if (chunk->offset + chunk->length > job.drive.disk_size) {
      stats.error_queue(reason::too_small, "drive is too small for given image", 0, job.drive.disk_size);
      stopped = true;
    } else if (first && first_block::reaches(*chunk)) {
      if (!image.map()) record.image_size = chunk->offset + chunk->length;
      image_chunk* now = first->take(*chunk, write_length(job, *chunk));
      const image_chunk& held = *first->held().back();
      record.extents.push_back({held.offset, static_cast<std::uint32_t>(held.hashed_length), held.hash});
      if (now != nullptr) write_now(now, now->hashed_length, now->hash);
    } else {
      const std::size_t length = write_length(job, *chunk);
      if (!image.map()) record.image_size = chunk->offset + chunk->length;
      write_now(chunk, length, length == chunk->hashed_length ? chunk->hash : hash_bytes(chunk->bytes.get(), length));
      chunk = nullptr;  // the writer gives it back
    }
    if (chunk != nullptr) image.done(chunk);
    if (stopped || cancel) {  // seen after the block in progress
      image_ended = false;
      break;
    }
  }
  write_zeros();  // an image that writes within the first MiB only
  timed(live.waited_for_device_ns, [&] { device->settle(); });
  const std::optional<coded_error> failure = image_ended ? image.failure(taker) : std::nullopt;
  // The first MiB last: once everything else is on the medium and the image passed its
  // checks (the checksum is compared before the reader ends). A failure or a cancel
  // leaves the zeros.
  bool held_written = !first;
  timed(live.waited_for_device_ns, [&] {
    if (first && image_ended && !failure && !stopped && !block_failed && flush_failure == 0 && !cancel) {
      flush_failure = device->flush();
      if (flush_failure == 0) {
        for (image_chunk* held : first->held()) device->write(held, held->hashed_length);
        device->settle();
        held_written = !stopped && !block_failed;
      }
    }
    if (flush_failure == 0) flush_failure = device->finish();
  });
  // What the drive keeps in its cache is not on the medium until a flush succeeds; a
  // drive that went away has said so already.
  if (flush_failure != 0 && !removed) {
    stats.error_queue(reason::write, "failed to flush the drive: " + std::string(std::strerror(flush_failure)),
                      flush_failure);
  }
  if (failure) stats.error_queue(*failure, reason::image);
  if (image.map()) record.image_size = image.map()->image_size;
  outcome.complete = image_ended && !failure && !stopped && !block_failed && flush_failure == 0 && held_written;
  return outcome;
}
