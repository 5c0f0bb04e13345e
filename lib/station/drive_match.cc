#include "station/drive_match.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>

namespace station {

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool holds(const std::string& name, const std::string& part) {
  return part.empty() || lower(name).find(lower(part)) != std::string::npos;
}

}  // namespace

std::string mismatch(const phydrive& drive, const drive_rules& rules) {
  if (!drive.is_external_or_removable()) return "not external/removable";
  if (drive.disk_size == 0) return "no medium";
  if (rules.min_size && drive.disk_size < *rules.min_size) return "smaller than the smallest size asked for";
  if (rules.max_size && drive.disk_size > *rules.max_size) return "larger than the largest size asked for";
  if (!rules.port.empty() && ::fnmatch(rules.port.c_str(), drive.port.c_str(), 0) != 0) {
    return drive.port.empty() ? "no port known" : "plugged into another port";
  }
  if (!holds(drive.vendor, rules.vendor)) return "another vendor";
  if (!holds(drive.model, rules.model)) return "another model";
  return {};
}

}  // namespace station
