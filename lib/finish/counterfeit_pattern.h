#pragma once
// Tells, from where a drive differed from its image in each pass of a repair, whether
// it looks like a counterfeit (a drive that holds fewer bytes than it reports) rather
// than one with bad sectors. A counterfeit either drops what lies past its real size,
// so the differences run from one offset on to the end of the image, or wraps it onto
// its start, so that writing a range again makes the same range come back one real
// size further on: the differences repeat with a period.
#include <cstdint>
#include <optional>
#include <vector>

#include "flash/differing_ranges.h"

// Differences that cover less than this are taken for bad sectors, whatever their pattern.
constexpr std::uint64_t counterfeit_min_run = 1 << 20;
// Gaps up to this inside a run to the end are image bytes that happen to match
// (zeros read back where the image holds zeros).
constexpr std::uint64_t counterfeit_max_gap = 1 << 20;

// `passes` holds each pass's differing ranges, ascending, the first pass first;
// `image_end` is the end of the compared image. Returns about how many bytes the drive
// really holds when the pattern is a counterfeit's, none otherwise.
std::optional<std::uint64_t> counterfeit_capacity(const std::vector<std::vector<byte_range>>& passes,
                                                  std::uint64_t image_end);
