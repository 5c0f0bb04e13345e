#include "backup/backup_options.h"

#include <algorithm>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace backup {

namespace {

struct format_row {
  output_format format;
  const char* name;
  const char* ending;
  int lowest_level;
  int highest_level;
  int default_level;
};

const format_row formats[] = {
    {output_format::raw, "raw", ".img", 0, 0, 0},
    {output_format::zstd, "zstd", ".zst", 1, 19, 3},
    {output_format::xz, "xz", ".xz", 0, 9, 6},
    {output_format::gzip, "gzip", ".gz", 1, 9, 6},
};

const format_row& row_of(output_format format) {
  for (const format_row& row : formats) {
    if (row.format == format) return row;
  }
  return formats[0];
}

bool ends_with(const std::string& text, const std::string& ending) {
  return text.size() > ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

[[noreturn]] void wrong(const std::string& text) { throw std::invalid_argument(text); }

const format_row& format_from(const nlohmann::json& options, const std::string& output) {
  if (options.contains("format")) {
    const nlohmann::json& named = options["format"];
    for (const format_row& row : formats) {
      if (named.is_string() && named.get<std::string>() == row.name) return row;
    }
    wrong("format must be \"raw\", \"zstd\", \"xz\" or \"gzip\"");
  }
  for (const format_row& row : formats) {
    if (ends_with(output, row.ending)) return row;
  }
  wrong("the output's name does not tell its format: end it with .img, .zst, .xz or .gz, or give a format");
}

bool flag(const nlohmann::json& options, const char* name, bool otherwise) {
  if (!options.contains(name)) return otherwise;
  if (!options[name].is_boolean()) wrong(std::string(name) + " must be a boolean");
  return options[name].get<bool>();
}

}  // namespace

const char* format_name(output_format format) { return row_of(format).name; }

std::vector<std::string> backup_options::files() const {
  std::vector<std::string> paths{output};
  if (block_map) paths.push_back(block_map_path());
  if (checksum) paths.push_back(checksum_path());
  return paths;
}

backup_options backup_options::parse(const std::string& output, const std::string& json) {
  if (output.empty()) wrong("the output must be a path");
  const nlohmann::json options = nlohmann::json::parse(json, nullptr, false);
  if (!options.is_object()) wrong("the options must be a JSON object");
  for (const auto& [name, value] : options.items()) {
    static const char* const known[] = {"format", "level", "extent", "blockMap", "checksum", "overwrite"};
    if (std::find(std::begin(known), std::end(known), name) == std::end(known)) wrong("unknown option " + name);
  }

  backup_options chosen;
  chosen.output = output;
  const format_row& row = format_from(options, output);
  chosen.format = row.format;
  chosen.level = row.default_level;
  if (options.contains("level")) {
    const nlohmann::json& level = options["level"];
    if (row.format == output_format::raw) wrong("a raw output takes no level");
    if (!level.is_number_integer() || level.get<int>() < row.lowest_level || level.get<int>() > row.highest_level) {
      wrong(std::string("level must be a whole number from ") + std::to_string(row.lowest_level) + " to " +
            std::to_string(row.highest_level) + " for " + row.name);
    }
    chosen.level = level.get<int>();
  }
  if (options.contains("extent")) {
    const nlohmann::json& extent = options["extent"];
    if (extent == "whole") {
      chosen.extent = extent_kind::whole;
    } else if (extent != "partitions") {
      wrong("extent must be \"partitions\" or \"whole\"");
    }
  }
  chosen.block_map = flag(options, "blockMap", true);
  chosen.checksum = flag(options, "checksum", true);
  chosen.overwrite = flag(options, "overwrite", false);
  return chosen;
}

}  // namespace backup
