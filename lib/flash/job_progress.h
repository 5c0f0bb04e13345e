#pragma once
// A job's live figures, read by the JavaScript thread at any time without a lock: the
// statistics only move every 400 blocks, too seldom for a progress bar.
#include <atomic>
#include <cstdint>

struct job_progress {
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> total{0};  // 0 = unknown
  // Where the job's thread waited, in nanoseconds: for the image's next chunk, and for
  // the device (a free place among the writes in flight, the last writes, the flushes).
  std::atomic<std::uint64_t> waited_for_image_ns{0};
  std::atomic<std::uint64_t> waited_for_device_ns{0};
  // The writes a direct job keeps in flight now (0 before it starts, 1 for a
  // synchronous one), and how often a slow write halved that number.
  std::atomic<unsigned> queue_depth{0};
  std::atomic<unsigned> queue_depth_halvings{0};
  // Image bytes a drive of a group read back from the spool file after it fell behind.
  std::atomic<std::uint64_t> spooled_bytes{0};
  std::atomic<std::uint64_t> output{0};  // backups: bytes of the output file so far
  // The image file as stored: bytes read (or downloaded) so far, and its size (0 = unknown).
  std::atomic<std::uint64_t> source_bytes{0};
  std::atomic<std::uint64_t> source_total{0};

  void reset(std::uint64_t total_bytes) {
    bytes = 0;
    total = total_bytes;
    waited_for_image_ns = 0;
    waited_for_device_ns = 0;
    queue_depth = 0;
    queue_depth_halvings = 0;
    spooled_bytes = 0;
    output = 0;
    source_bytes = 0;
    source_total = 0;
  }
};
