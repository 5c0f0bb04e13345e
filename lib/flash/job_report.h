#pragma once
// The full account of one job beside its one-line statistics: every error in order,
// with the phase it came in, the system's error code and the drive offset where known;
// whether all of the image's data was written (or compared); the bytes moved; and the
// image; for a verification, where the drive differs and the steps after it. Kept
// inside a statistics_record, under its lock.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "finish/step_records.h"
#include "flash/differing_ranges.h"
#include "support/coded_error.h"

// "steps": the steps after a verification's data (repair, GPT, files); their errors
// fail the job, those of "finish" (permission restore, drive refresh) do not.
enum class job_phase { prepare, data, steps, finish };

struct job_error {
  job_phase phase = job_phase::prepare;
  reason why = reason::none;
  std::string message;
  int code = 0;  // errno; 0 when none applies
  std::optional<std::uint64_t> offset;
};

// What a backup job makes: set when the job starts, completed when it succeeds.
struct backup_files {
  std::string output;          // the image file
  std::string extent;          // "partitions" or "whole"
  std::uint64_t output_bytes = 0;
  std::string sha256{};         // of the image file, once it is complete
  std::string block_map{};      // its path, once written; empty when none
  std::string checksum_file{};  // likewise
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
  std::string unused_block_map;         // why the map found next to the image was not used
};

struct job_report {
  job_phase phase = job_phase::prepare;
  std::vector<job_error> errors;
  bool data_complete = false;
  std::uint64_t bytes = 0;
  std::string image_format = "raw";
  std::optional<std::uint64_t> image_size;
  bool block_map = false;
  // Verification only: where the drive differs from the image now, and the steps after it.
  std::optional<std::vector<byte_range>> differing;
  std::optional<finish_records> steps;
  std::optional<backup_files> backup;  // backups only; for them "image" is the output image
  std::optional<source_report> source;

  // {"errors":[{"phase","reason","message","code","offset"}...],"dataComplete","bytes","image":{"format","size","blockMap"}}
  // and for a verification "differingRanges":[{"offset","length"}...] and "steps" (finish_records); range
  // lists stop at 1000 ranges. For a backup "backup":{"output","extent","outputBytes","sha256","blockMap",
  // "checksumFile"}, the texts that are not known (yet) null. Where there is one,
  // "source":{"location","fromCache","downloaded","resumes","checksum","sha256"}, with
  // "blockMapUnused" where a map found next to the image was left out.
  std::string json() const;
};
