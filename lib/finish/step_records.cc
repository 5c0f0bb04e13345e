#include "finish/step_records.h"

namespace {

const char* status_name(step_status status) {
  switch (status) {
    case step_status::done: return "done";
    case step_status::failed: return "failed";
    case step_status::skipped: break;
  }
  return "skipped";
}

nlohmann::json head(const step_record& step) {
  return {{"status", status_name(step.status)}, {"message", step.message}};
}

}  // namespace

nlohmann::json ranges_json(const std::vector<byte_range>& ranges) {
  constexpr std::size_t listed_at_most = 1000;  // a drive that differs everywhere still gives a short report
  nlohmann::json listed = nlohmann::json::array();
  for (std::size_t i = 0; i < ranges.size() && i < listed_at_most; ++i) {
    listed.push_back({{"offset", ranges[i].offset}, {"length", ranges[i].length}});
  }
  return listed;
}

nlohmann::json finish_records::json() const {
  nlohmann::json repaired = head(repair);
  repaired["firstPassDifferingBytes"] = repair.first_pass_differing_bytes;
  repaired["ranges"] = ranges_json(repair.ranges);
  repaired["passes"] = nlohmann::json::array();
  for (const repair_pass& pass : repair.passes) {
    repaired["passes"].push_back({{"differingBytes", pass.differing_bytes}, {"ranges", ranges_json(pass.ranges)}});
  }
  nlohmann::json moved = head(gpt);
  moved["sectors"] = ranges_json(gpt.sectors);
  moved["imageSectors"] = ranges_json(gpt.image_sectors);
  nlohmann::json copied = head(files);
  copied["files"] = nlohmann::json::array();
  for (const written_file& f : files.files) {
    copied["files"].push_back({{"partition", f.partition}, {"path", f.path}, {"bytes", f.bytes}});
  }
  return {{"repair", repaired}, {"gpt", moved}, {"files", copied}, {"eject", head(eject)}};
}
