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

// Where the image's bytes came from: reported for an image from a URL, or one with a
// published checksum.
struct source_report {
  std::string location;
  bool from_cache = false;
  std::uint64_t downloaded = 0;  // bytes
  unsigned resumes = 0;
  std::string checksum = "not checked";  // "matched", "mismatched" or "not checked"
  std::string sha256;                   // of the file, where computed
};

struct job_report {
  job_phase phase = job_phase::prepare;
  std::vector<job_error> errors;
  bool data_complete = false;
  std::uint64_t bytes = 0;
  std::string image_format = "raw";
  std::optional<std::uint64_t> image_size;
  bool block_map = false;
  std::optional<source_report> source;

  // {"errors":[{"phase","reason","message","code","offset"}...],"dataComplete","bytes","image":{"format","size","blockMap"}},
  // and "source":{"location","fromCache","downloaded","resumes","checksum","sha256"} where there is one.
  std::string json() const;
};
