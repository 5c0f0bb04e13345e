#pragma once
// The full account of one job beside its one-line statistics: every error in order,
// with the phase it came in, the system's error code and the drive offset where known;
// whether all of the image's data was written (or compared); the bytes moved; and the
// image. Kept inside a statistics_record, under its lock.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/coded_error.h"

enum class job_phase { prepare, data, finish };

struct job_error {
  job_phase phase = job_phase::prepare;
  reason why = reason::none;
  std::string message;
  int code = 0;  // errno; 0 when none applies
  std::optional<std::uint64_t> offset;
};

struct job_report {
  job_phase phase = job_phase::prepare;
  std::vector<job_error> errors;
  bool data_complete = false;
  std::uint64_t bytes = 0;
  std::string image_format = "raw";
  std::optional<std::uint64_t> image_size;
  bool block_map = false;

  // {"errors":[{"phase","reason","message","code","offset"}...],"dataComplete","bytes","image":{"format","size","blockMap"}}
  std::string json() const;
};
