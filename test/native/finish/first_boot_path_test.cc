// The paths first-boot files may take: what mtools would write elsewhere or FAT would
// store under another name is refused, with the name that is wrong.
#include <gtest/gtest.h>

#include "finish/first_boot_path.h"
#include "support/coded_error.h"

TEST(FirstBootPath, RefusesWhatFatWouldNotStoreAsGiven) {
  const struct {
    const char* path;
    const char* problem;  // "" where accepted
  } cases[] = {
      {"/etc/hostname", ""},
      {"user-data", ""},
      {"", "a first-boot file needs a path"},
      {"/", "a first-boot file needs a path"},
      {"//x", "the first-boot file path \"//x\" has an empty name (a doubled or trailing \"/\")"},
      {"a/", "the first-boot file path \"a/\" has an empty name (a doubled or trailing \"/\")"},
      {"/boot/../x", "the first-boot file path \"/boot/../x\" names \"..\""},
      {"a:b", "the first-boot file path \"a:b\" has a character FAT does not allow"},
      {"name.", "the first-boot file path \"name.\" has a name ending in a space or a dot"},
  };
  for (const auto& c : cases) EXPECT_EQ(first_boot_path_problem(c.path).rfind(c.problem, 0), 0u) << c.path;
  EXPECT_EQ(first_boot_path_problem(std::string(256, 'n')), "the first-boot file path \"" + std::string(256, 'n') +
                                                                 "\" has a name longer than 255 bytes");
  EXPECT_EQ(first_boot_path_names("/boot/cmdline.txt"), (std::vector<std::string>{"boot", "cmdline.txt"}));
}

TEST(CodedError, ALibrarysExceptionGetsAReasonAndATextNamingTheInput) {
  const coded_error known = coded(std::out_of_range("basic_string::substr: __pos"), reason::image, "block map m.bmap");
  EXPECT_EQ(known.why(), reason::image);
  EXPECT_STREQ(known.what(), "block map m.bmap: unexpected failure (a value out of range)");
  EXPECT_STREQ(coded(std::runtime_error("failed to check role"), reason::write, "x").what(), "failed to check role");
}
