// The extent of a backup on files that hold a partition table made by sfdisk or sgdisk.
#include <gtest/gtest.h>


#include "backup/partition_extent.h"
#include "support/coded_error.h"
#include "support/shell.h"
#include "test_support.h"

namespace {

constexpr std::uint64_t drive_size = 64 << 20;
constexpr std::uint64_t sector = 512;

struct table_case {
  const char* name;
  const char* command;  // makes the table on the file "drive"
  std::uint64_t partitions_end;  // 0: no table
};

void PrintTo(const table_case& c, std::ostream* out) { *out << c.name; }

const table_case tables[] = {
    {"none", "true", 0},
    {"mbr", "printf 'label: dos\\nstart=2048, size=8M\\nstart=34816, size=4M\\n' | sfdisk -q drive", (34816 + 8192) * sector},
    // The extended partition that holds the logical ones counts whole.
    {"mbr_logical", "printf 'label: dos\\nstart=2048, size=4M\\nstart=12288, size=20M, type=5\\nstart=14336, size=6M\\n' | sfdisk -q drive",
     (12288 + 40960) * sector},
    {"gpt", "sgdisk -o -n 1:2048:+8M -n 2:0:+3M drive >/dev/null", (2048 + 16384 + 6144) * sector},
};

class PartitionExtent : public ::testing::TestWithParam<table_case> {};

TEST_P(PartitionExtent, EndsWithTheLastPartition) {
  const table_case c = GetParam();
  test_support::temp_dir dir;
  const std::string drive = dir.file("drive");
  ASSERT_EQ(test_support::run_with_system_tools("cd " + shell::quote(dir.path()) + " && truncate -s 64M drive && " + c.command), 0);
  const std::uint64_t expected = c.partitions_end == 0 ? drive_size : c.partitions_end;
  EXPECT_EQ(backup::extent_of(drive, drive_size, backup::extent_kind::partitions), expected);
  EXPECT_EQ(backup::extent_of(drive, drive_size, backup::extent_kind::whole), drive_size);
}

INSTANTIATE_TEST_SUITE_P(Tables, PartitionExtent, ::testing::ValuesIn(tables));

TEST(PartitionExtentOfMissingDrive, IsAReadError) {
  try {
    backup::partitions_end("/nonexistent/drive");
    FAIL() << "no error";
  } catch (const coded_error& e) {
    EXPECT_EQ(e.why(), reason::read);
  }
}

}  // namespace
