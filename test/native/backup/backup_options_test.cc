// The options of a backup: the format told by the name or given, levels and extents checked.
#include <gtest/gtest.h>

#include "backup/backup_options.h"

namespace {

using backup::output_format;

TEST(BackupOptions, FormatAndLevelFromTheNameOrGiven) {
  const struct {
    const char* output;
    const char* json;
    output_format format;
    int level;
  } cases[] = {
      {"a.img", "{}", output_format::raw, 0},       {"a.img.zst", "{}", output_format::zstd, 3},
      {"a.img.xz", "{}", output_format::xz, 6},     {"a.img.gz", "{}", output_format::gzip, 6},
      {"a.bin", R"({"format":"xz","level":9})", output_format::xz, 9},
      {"a.img", R"({"format":"zstd"})", output_format::zstd, 3},
  };
  for (const auto& c : cases) {
    const auto options = backup::backup_options::parse(c.output, c.json);
    EXPECT_EQ(options.format, c.format) << c.output << " " << c.json;
    EXPECT_EQ(options.level, c.level) << c.output << " " << c.json;
  }
}

TEST(BackupOptions, RefusesWhatIsWrong) {
  const std::pair<const char*, const char*> cases[] = {
      {"a.bin", "{}"},                       {"a.img", R"({"format":"bzip2"})"},
      {"a.zst", R"({"level":20})"},          {"a.img", R"({"level":1})"},
      {"a.xz", R"({"extent":"half"})"},      {"a.xz", R"({"blockMap":1})"},
      {"a.xz", R"({"blocksize":4096})"},     {"a.xz", "not json"},
      {"", "{}"},
  };
  for (const auto& [output, json] : cases) {
    EXPECT_THROW(backup::backup_options::parse(output, json), std::invalid_argument) << output << " " << json;
  }
}

}  // namespace
