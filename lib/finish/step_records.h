#pragma once
// The outcome of each step after the verification, as the validation's job report
// shows it under "steps": repair, gpt, files and eject, each with its status and, where
// it was skipped or failed, why.
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "flash/differing_ranges.h"

enum class step_status { skipped, done, failed };

struct step_record {
  step_status status = step_status::skipped;
  std::string message;  // why it was skipped or failed; what it did otherwise
};

struct repair_pass {
  std::uint64_t differing_bytes = 0;
  std::vector<byte_range> ranges;
};

struct repair_record : step_record {
  std::uint64_t first_pass_differing_bytes = 0;
  std::vector<byte_range> ranges;   // written again, over all passes
  std::vector<repair_pass> passes;  // every verification, the first one first
};

struct gpt_record : step_record {
  std::vector<byte_range> sectors;        // written
  std::vector<byte_range> image_sectors;  // of those, the ones inside the image: they now differ from it
};

struct written_file {
  int partition = 0;
  std::string path;
  std::uint64_t bytes = 0;
};

struct files_record : step_record {
  std::vector<written_file> files;  // written and read back
};

struct finish_records {
  repair_record repair;
  gpt_record gpt;
  files_record files;
  step_record eject;

  // {"repair":{"status","message","firstPassDifferingBytes","ranges","passes"},"gpt":{...,"sectors","imageSectors"},
  //  "files":{...,"files":[{"partition","path","bytes"}]},"eject":{"status","message"}}
  nlohmann::json json() const;
};

// [{"offset","length"}...], the first 1000 ranges.
nlohmann::json ranges_json(const std::vector<byte_range>& ranges);
