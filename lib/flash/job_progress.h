#pragma once
// A job's live byte count, read by the JavaScript thread at any time without a lock:
// the statistics only move every 400 blocks, too seldom for a progress bar.
#include <atomic>
#include <cstdint>

struct job_progress {
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> total{0};  // 0 = unknown
  // The image file as stored: bytes read (or downloaded) so far, and its size (0 = unknown).
  std::atomic<std::uint64_t> source_bytes{0};
  std::atomic<std::uint64_t> source_total{0};
};
