#include "finish/counterfeit_pattern.h"

#include <algorithm>

namespace {

bool covered_by(const byte_range& range, const std::vector<byte_range>& ranges) {
  return std::any_of(ranges.begin(), ranges.end(),
                     [&](const byte_range& r) { return r.offset <= range.offset && range.end() <= r.end(); });
}

// The start of the differences that run to the image's end, gaps of matching bytes
// bridged; none when the last range stops short of the end or the run is short.
std::optional<std::uint64_t> run_to_end(const std::vector<byte_range>& pass, std::uint64_t image_end) {
  if (pass.empty() || pass.back().end() != image_end) return std::nullopt;
  std::uint64_t start = pass.back().offset;
  for (auto r = pass.rbegin() + 1; r != pass.rend() && start - r->end() <= counterfeit_max_gap; ++r) start = r->offset;
  if (start == 0 || image_end - start < counterfeit_min_run) return std::nullopt;
  return start;
}

// The distance by which the ranges that are new in `later` repeat ranges of `earlier`,
// when they all do by one distance.
std::optional<std::uint64_t> repeated_shift(const std::vector<byte_range>& earlier, const std::vector<byte_range>& later) {
  std::optional<std::uint64_t> shift;
  std::uint64_t repeated = 0;
  for (const byte_range& r : later) {
    if (covered_by(r, earlier)) continue;
    repeated += r.length;
    const auto same = std::find_if(earlier.begin(), earlier.end(), [&](const byte_range& e) {
      return e.length == r.length && e.offset < r.offset && (!shift || r.offset - e.offset == *shift);
    });
    if (same == earlier.end()) return std::nullopt;
    shift = r.offset - same->offset;
  }
  if (repeated < counterfeit_min_run) return std::nullopt;
  return shift;
}

// The period of at least three ranges of one length at equal distances, in one pass.
std::optional<std::uint64_t> period_within(const std::vector<byte_range>& pass) {
  if (pass.size() < 3 || covered_bytes(pass) < counterfeit_min_run) return std::nullopt;
  const std::uint64_t period = pass[1].offset - pass[0].offset;
  for (std::size_t i = 1; i < pass.size(); ++i) {
    if (pass[i].length != pass[0].length || pass[i].offset - pass[i - 1].offset != period) return std::nullopt;
  }
  return period;
}

}  // namespace

std::optional<std::uint64_t> counterfeit_capacity(const std::vector<std::vector<byte_range>>& passes,
                                                  std::uint64_t image_end) {
  for (std::size_t i = 1; i < passes.size(); ++i) {
    if (const auto shift = repeated_shift(passes[i - 1], passes[i])) return shift;
  }
  for (const auto& pass : passes) {
    if (const auto period = period_within(pass)) return period;
  }
  if (!passes.empty()) return run_to_end(passes.back(), image_end);
  return std::nullopt;
}
