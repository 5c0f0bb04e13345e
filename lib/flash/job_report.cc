#include "flash/job_report.h"

#include <nlohmann/json.hpp>

#include "support/errno_name.h"

namespace {

const char* phase_name(job_phase phase) {
  switch (phase) {
    case job_phase::data: return "data";
    case job_phase::steps: return "steps";
    case job_phase::finish: return "finish";
    case job_phase::prepare: break;
  }
  return "prepare";
}

nlohmann::json optional_number(const std::optional<std::uint64_t>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json optional_text(const std::string& text) { return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text); }

}  // namespace

std::string job_report::json() const {
  nlohmann::json listed = nlohmann::json::array();
  for (const job_error& e : errors) {
    const char* code = e.code != 0 ? errno_name(e.code) : nullptr;
    listed.push_back({{"phase", phase_name(e.phase)},
                      {"reason", reason_code(e.why)},
                      {"message", e.message},
                      {"code", code ? nlohmann::json(code) : nlohmann::json(nullptr)},
                      {"offset", optional_number(e.offset)}});
  }
  nlohmann::json report = {
      {"errors", listed},
      {"dataComplete", data_complete},
      {"bytes", bytes},
      {"image", {{"format", image_format}, {"size", optional_number(image_size)}, {"blockMap", block_map}}}};
  if (differing) report["differingRanges"] = ranges_json(*differing);
  if (steps) report["steps"] = steps->json();
  if (backup) {
    report["backup"] = {{"output", backup->output},
                        {"extent", backup->extent},
                        {"outputBytes", backup->output_bytes},
                        {"sha256", optional_text(backup->sha256)},
                        {"blockMap", optional_text(backup->block_map)},
                        {"checksumFile", optional_text(backup->checksum_file)}};
  }
  if (source) {
    report["source"] = {{"location", source->location}, {"fromCache", source->from_cache},
                        {"downloaded", source->downloaded}, {"resumes", source->resumes},
                        {"checksum", source->checksum}, {"sha256", source->sha256}};
    if (!source->unused_block_map.empty()) report["source"]["blockMapUnused"] = source->unused_block_map;
  }
  // Messages may hold bytes of file names that are not UTF-8: keep them, replaced.
  return report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
