#pragma once
// Takes the statistics samples of a job every `avgblocks` whole chunks. Where the
// image's decoded size is unknown, the share of the file consumed stands in for the
// share of blocks done.
#include <algorithm>
#include <cstdint>
#include <optional>

#include "flash/flash_statistics.h"
#include "flash/image_pipeline.h"

class progress_sampler {
 public:
  progress_sampler(const image_pipeline& pipeline, std::uint64_t block_size)
      : pipeline_(pipeline), whole_chunks_(pipeline.whole_chunks()), block_size_(block_size) {}

  // After whole chunk `index`, under the record's lock.
  void after_chunk(flash_statistics& s, std::uint64_t index) {
    if (!s.sample_due(index)) return;
    s.take_sample(index, whole_chunks_ ? *whole_chunks_ : estimated_chunks(index), block_size_, previous_);
  }

 private:
  std::uint64_t estimated_chunks(std::uint64_t index) const {
    const double share = pipeline_.share_consumed();
    const double done = static_cast<double>(index + 1);
    return static_cast<std::uint64_t>(share > 0 ? std::max(done, done / share) : done);
  }

  const image_pipeline& pipeline_;
  std::optional<std::uint64_t> whole_chunks_;
  std::uint64_t block_size_;
  flash_statistics::clock::time_point previous_ = flash_statistics::clock::now();
};
