#pragma once
// Progress, throughput and last error of one job, rendered as the statistics JSON text.
#include <chrono>
#include <cstdint>
#include <string>

class flash_statistics {
 public:
  using clock = std::chrono::steady_clock;

  double completed = 0;          // percent of the job's whole blocks
  double eta = 0;                // seconds
  std::int64_t duration = 0;     // milliseconds, set when the job ends
  double speed = 0;              // latest sample, bytes per second
  std::uint64_t numsamples = 0;  // samples folded into speedavg
  double speedlimit = 524288000.0;  // samples at or above are implausible
  double speedmin = 0;
  double speedmax = 0;
  double speedavg = 0;
  std::uint64_t avgblocks = 400;  // blocks between two samples
  std::uint64_t numwriteerrs = 0;  // differing bytes found by a validation
  std::string errque;              // the most recent error
  std::uint32_t numerrs = 0;
  std::uint32_t maxerrs = 12;

  void error_queue(std::string text);
  std::string get_json() const;

  // Clears the per-job figures for a new job of the same kind.
  void reset();

  // Whether a sample is due after whole block `block_index`.
  bool sample_due(std::uint64_t block_index) const { return block_index % avgblocks == 0; }

  // Folds in the throughput since `previous_sample`, credited with `avgblocks`
  // blocks of `block_size` bytes, and moves `previous_sample` to now.
  void take_sample(std::uint64_t block_index, std::uint64_t whole_blocks, std::uint64_t block_size,
                   clock::time_point& previous_sample);

  // Final figures of a job that started at `start`.
  void close(clock::time_point start, bool cancelled);
};
