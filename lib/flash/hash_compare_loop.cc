#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "device/block_io.h"
#include "device/io_queue.h"
#include "flash/job_loops.h"

namespace {

constexpr unsigned reads_in_flight = 4;

// Reads the written extents off the drive in order, several reads in flight where
// io_uring is there, one at a time otherwise.
class extent_reader {
 public:
  extent_reader(int fd, const std::vector<written_extent>& extents, std::size_t buffer_size)
      : fd_(fd), extents_(extents) {
    for (unsigned i = 0; i < reads_in_flight; ++i) {
      buffers_.push_back(std::make_unique<block_io::aligned_buffer>(buffer_size));
      // Defined from the start: memory checkers do not see the kernel fill it through io_uring.
      std::memset(buffers_.back()->get(), 0, buffer_size);
      results_.push_back(0);
      done_.push_back(false);
    }
    try {
      queue_ = std::make_unique<block_io::io_queue>(reads_in_flight);
    } catch (const std::runtime_error&) {
      // Synchronous reads then.
    }
  }

  // Bytes read of extent `index` (the extents before it were taken already) and its buffer.
  std::int64_t take(std::size_t index, const std::uint8_t** bytes) {
    while (submitted_ < extents_.size() && submitted_ < index + reads_in_flight) submit(submitted_++);
    const std::size_t slot = index % reads_in_flight;
    while (!done_[slot]) {
      const auto completion = queue_->wait();
      done_[completion.tag % reads_in_flight] = true;
      results_[completion.tag % reads_in_flight] = completion.result;
    }
    done_[slot] = false;
    *bytes = buffers_[slot]->get();
    return results_[slot];
  }

 private:
  void submit(std::size_t index) {
    const std::size_t slot = index % reads_in_flight;
    const written_extent& extent = extents_[index];
    if (queue_) {
      queue_->read(fd_, buffers_[slot]->get(), extent.length, extent.offset, index);
      return;
    }
    results_[slot] = static_cast<std::int64_t>(block_io::read_full_at(fd_, buffers_[slot]->get(), extent.length, extent.offset));
    done_[slot] = true;
  }

  int fd_;
  const std::vector<written_extent>& extents_;
  std::vector<std::unique_ptr<block_io::aligned_buffer>> buffers_;
  std::vector<std::int64_t> results_;
  std::vector<bool> done_;
  std::size_t submitted_ = 0;
  std::unique_ptr<block_io::io_queue> queue_;  // last: ends (waiting for its reads) before the buffers go
};

// The image bytes of a written extent: the padding past the image's end is not compared.
image::mapped_range image_part(const written_extent& extent, std::uint64_t image_size) {
  return {extent.offset, std::min(extent.offset + extent.length, image_size), {}};
}

}  // namespace

loop_outcome compare_by_hashes(const job_settings& job, const write_record& record, int device_fd,
                               std::uint8_t* device_buffer, statistics_record& stats, const std::atomic<bool>& cancel,
                               mismatch_report& report) {
  loop_outcome outcome;
  const auto& extents = record.extents;
  const std::uint64_t extent_size = record.fingerprint.write_block_size;
  extent_reader reader(device_fd, extents, extent_size);
  auto differing = std::make_shared<image::block_map>();
  auto previous_sample = flash_statistics::clock::now();
  // An image from a URL tells its size only to the write that read it.
  if (stats.progress.total == 0) {
    std::uint64_t total = 0;
    for (const written_extent& extent : extents) {
      total += image_part(extent, record.image_size).end - std::min(extent.offset, record.image_size);
    }
    stats.progress.total = total;
  }
  for (std::size_t i = 0; i < extents.size(); ++i) {
    const std::uint8_t* bytes = nullptr;
    const std::int64_t got = reader.take(i, &bytes);
    const written_extent& extent = extents[i];
    if (got != static_cast<std::int64_t>(extent.length)) {
      const std::uint64_t read = static_cast<std::uint64_t>(std::max<std::int64_t>(got, 0));
      stats.error_queue(reason::verify, "failed to read device block #" + std::to_string(extent.offset / job.block_size) + " with " +
                            std::to_string(read) + "/" + std::to_string(extent.length) + " bytes",
                        got < 0 ? static_cast<int>(-got) : 0, extent.offset + read);
      return outcome;
    }
    const std::uint64_t image_bytes = image_part(extent, record.image_size).end - std::min(extent.offset, record.image_size);
    outcome.bytes += image_bytes;
    stats.progress.bytes += image_bytes;
    if (!(hash_bytes(bytes, extent.length) == extent.hash) && extent.offset < record.image_size) {
      differing->ranges.push_back(image_part(extent, record.image_size));
    }
    stats.update([&](flash_statistics& s) {
      if (s.sample_due(i)) s.take_sample(i, extents.size(), extent_size, previous_sample);
    });
    if (cancel) return outcome;
  }
  outcome.complete = true;
  if (differing->ranges.empty()) return outcome;

  // Where a hash differs, the image tells which bytes and how many.
  differing->image_size = record.image_size;
  differing->block_size = job.block_size;
  image_plan plan = job.image;
  plan.map = differing;
  image_pipeline image(plan);
  const loop_outcome exact = compare_image(job, image, device_fd, device_buffer, stats, cancel, report);
  outcome.complete = exact.complete;
  outcome.mismatches = exact.mismatches;
  return outcome;
}
