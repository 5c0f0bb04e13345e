#pragma once
// What a backup writes and how: the output's format (told by its name unless given),
// the compression level, how much of the drive is read, and the files beside the output.
#include <cstdint>
#include <string>
#include <vector>

namespace backup {

enum class output_format { raw, zstd, xz, gzip };
enum class extent_kind { partitions, whole };

// "raw", "zstd", "xz", "gzip": the names the job reports and inspectImage use.
const char* format_name(output_format format);

struct backup_options {
  std::string output;  // path of the image file to make
  output_format format = output_format::raw;
  int level = 0;  // the format's own scale; 0 for raw
  extent_kind extent = extent_kind::partitions;
  bool block_map = true;  // OUTPUT.bmap beside the output
  bool checksum = true;   // OUTPUT.sha256 beside the output
  bool overwrite = false;

  std::string block_map_path() const { return output + ".bmap"; }
  std::string checksum_path() const { return output + ".sha256"; }
  // The files the backup makes: the output, and the map and checksum files asked for.
  std::vector<std::string> files() const;

  // The options of `output` from a JSON object with any of "format" ("raw", "zstd",
  // "xz", "gzip"), "level", "extent" ("partitions", "whole"), "blockMap", "checksum",
  // "overwrite". Without "format", the name's ending tells it (.img, .zst, .xz, .gz);
  // without "level", the format's default (zstd 3, xz 6, gzip 6). Throws
  // std::invalid_argument naming the option that is wrong.
  static backup_options parse(const std::string& output, const std::string& json);
};

}  // namespace backup
