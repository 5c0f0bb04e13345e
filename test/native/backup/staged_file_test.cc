// The output files: nothing left behind unless committed, and nothing replaced unless asked.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "backup/output_place.h"
#include "backup/staged_file.h"
#include "support/coded_error.h"
#include "test_support.h"

namespace {

const std::uint8_t bytes[] = {1, 2, 3};

std::size_t entries(const test_support::temp_dir& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir.path()), {}));
}

TEST(StagedFile, LeavesNothingUnlessCommitted) {
  test_support::temp_dir dir;
  {
    backup::staged_file file(dir.file("out.img"), false);
    file.write(bytes, sizeof bytes);
    file.finish();
    EXPECT_EQ(entries(dir), 1u);
  }
  EXPECT_EQ(entries(dir), 0u);
}

TEST(StagedFile, ReplacesAnExistingFileOnlyWhenAsked) {
  test_support::temp_dir dir;
  const std::string path = dir.file("out.img");
  for (const bool overwrite : {false, true}) {
    test_support::write_file(path, "kept");
    backup::staged_file file(path, overwrite);
    file.write(bytes, sizeof bytes);
    file.finish();
    if (overwrite) {
      file.commit();
      EXPECT_EQ(test_support::read_file(path), "\x01\x02\x03");
    } else {
      EXPECT_THROW(file.commit(), coded_error);
      EXPECT_EQ(test_support::read_file(path), "kept");
    }
  }
}

TEST(StagedFile, CommitsTogetherOrNotAtAll) {
  test_support::temp_dir dir;
  test_support::write_file(dir.file("b"), "in the way");
  backup::staged_file a(dir.file("a"), false);
  backup::staged_file b(dir.file("b"), false);
  EXPECT_THROW(backup::commit_together({&a, &b}), coded_error);
  EXPECT_FALSE(std::filesystem::exists(dir.file("a")));
  EXPECT_EQ(test_support::read_file(dir.file("b")), "in the way");
}

// The old set is moved aside before any new file goes in, and comes back when one fails.
TEST(StagedFile, AFailedOverwriteLeavesTheOldSetWhole) {
  test_support::temp_dir dir;
  const std::string names[] = {"out.img", "out.img.bmap", "out.img.sha256"};
  std::vector<std::unique_ptr<backup::staged_file>> files;
  for (const std::string& name : names) {
    test_support::write_file(dir.file(name), "old " + name);
    files.push_back(std::make_unique<backup::staged_file>(dir.file(name), true));
  }
  if (std::system(("chattr +i " + dir.file(names[2]) + " 2>/dev/null").c_str()) != 0) GTEST_SKIP() << "no chattr +i here";
  EXPECT_THROW(backup::commit_together({files[0].get(), files[1].get(), files[2].get()}), coded_error);
  std::system(("chattr -i " + dir.file(names[2])).c_str());
  files.clear();
  for (const std::string& name : names) EXPECT_EQ(test_support::read_file(dir.file(name)), "old " + name);
  EXPECT_EQ(entries(dir), 3u);
}

TEST(OutputPath, RefusesWhatCannotBeMade) {
  test_support::temp_dir dir;
  test_support::write_file(dir.file("file"), "");
  std::filesystem::create_directory(dir.file("folder"));
  const struct {
    std::string path;
    bool overwrite;
    bool accepted;
  } cases[] = {
      {dir.file("new.img"), false, true},      {dir.file("file"), false, false},
      {dir.file("file"), true, true},          {dir.file("folder"), true, false},
      {dir.file("missing/new.img"), true, false},
  };
  for (const auto& c : cases) {
    bool accepted = true;
    try {
      backup::check_output_path(c.path, c.overwrite);
    } catch (const coded_error& e) {
      accepted = false;
      EXPECT_EQ(e.why(), reason::output);
    }
    EXPECT_EQ(accepted, c.accepted) << c.path << " overwrite " << c.overwrite;
  }
}

}  // namespace
