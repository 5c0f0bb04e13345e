#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "drives/drives.h"
#include "test_support.h"

namespace {

using test_support::scoped_env;

const char* const not_available =
    "'lsblk' is not available => please install make sure 'util-linux' is installed";
const char* const too_old = "please update 'util-linux' to version >= 2.34";

class ToolCheck : public ::testing::Test {
 protected:
  // The message of the runtime_error the check raises in a fresh process (a passed
  // check is not made again), or "(passed)".
  static std::string refusal() {
    return test_support::in_a_child([] {
      try {
        drives_platform checked;
      } catch (const std::runtime_error& e) {
        return std::string(e.what());
      }
      return std::string("(passed)");
    });
  }
  // The exception of another kind the check raises in a fresh process: its what(), or "(none)".
  template <typename Exception>
  static std::string raised() {
    return test_support::in_a_child([] {
      try {
        drives_platform checked;
      } catch (const Exception& e) {
        return std::string(e.what());
      }
      return std::string("(none)");
    });
  }

  test_support::temp_dir dir_;
  test_support::stand_in_tools tools_{dir_};
};

TEST_F(ToolCheck, RecentVersionsPass) {
  for (const char* version : {"2.34", "2.37.2", "2.38.1", "2.40-rc1", "10.1"}) {
    scoped_env fake("FAKE_LSBLK_VERSION", version);
    EXPECT_EQ(refusal(), "(passed)") << version;
  }
  // The last blank-separated word counts, however the blanks are laid out.
  for (const char* output :
       {"lsblk  from   util-linux   2.34\n", "lsblk from util-linux 2.39 ", "2.35"}) {
    scoped_env fake("FAKE_LSBLK_VERSION_OUTPUT", output);
    EXPECT_EQ(refusal(), "(passed)") << output;
  }
}

TEST_F(ToolCheck, AsksWhichThenTheVersionOncePerProcess) {
  drives_platform checked;
  drives_platform again;
  EXPECT_EQ(tools_.calls(), (std::vector<std::string>{"which lsblk", "lsblk --version"}));
}

TEST_F(ToolCheck, OlderVersionsAreRefused) {
  for (const char* version : {"2.33.1", "2.3", "2.339", "1.99"}) {
    scoped_env fake("FAKE_LSBLK_VERSION", version);
    EXPECT_EQ(refusal(), too_old) << version;
  }
  scoped_env fake("FAKE_LSBLK_VERSION_OUTPUT", "lsblk 2.40 from util-linux 2.33\n");
  EXPECT_EQ(refusal(), too_old);
}

TEST_F(ToolCheck, VersionWordWithoutNumberFailsInConversion) {
  for (const char* output : {"lsblk from util-linux unknown\n", "lsblk from util-linux v2.38\n",
                             "lsblk from util-linux 2.38.1 \n", ""}) {
    scoped_env fake("FAKE_LSBLK_VERSION_OUTPUT", output);
    EXPECT_EQ(raised<std::invalid_argument>(), "stod") << '"' << output << '"';
  }
}

TEST_F(ToolCheck, VersionNumberOutOfRangeFailsInConversion) {
  scoped_env fake("FAKE_LSBLK_VERSION_OUTPUT", "lsblk from util-linux 1e999\n");
  EXPECT_EQ(raised<std::out_of_range>(), "stod");
}

TEST_F(ToolCheck, MissingToolIsRefusedBeforeTheVersionProbe) {
  scoped_env missing("FAKE_WHICH_MISSING", "lsblk");
  // Debian's which prints nothing; other implementations print "not found".
  for (const char* style : {"silent", "not-found", "blank"}) {
    scoped_env how("FAKE_WHICH_STYLE", style);
    EXPECT_EQ(refusal(), not_available) << style;
  }
  EXPECT_TRUE(tools_.calls_of("lsblk").empty());
  EXPECT_EQ(tools_.calls_of("which").size(), 3u);
  // A refusal is not kept: lsblk installed meanwhile is found.
  EXPECT_THROW(drives_platform first, std::runtime_error);
  EXPECT_THROW(drives_platform second, std::runtime_error);
  EXPECT_EQ(tools_.calls_of("which").size(), 5u);
}

TEST_F(ToolCheck, ShellWithoutWhichIsRefused) {
  // An empty PATH folder: the shell itself answers "sh: 1: which: not found".
  test_support::temp_dir empty;
  scoped_env path("PATH", empty.path());
  EXPECT_EQ(refusal(), not_available);
}

TEST_F(ToolCheck, DriveModelIsNotListedWhenTheCheckFails) {
  scoped_env missing("FAKE_WHICH_MISSING", "lsblk");
  EXPECT_THROW(physical_drives model, std::runtime_error);
  EXPECT_EQ(tools_.calls(), (std::vector<std::string>{"which lsblk"}));
}

TEST_F(ToolCheck, AsksNothingOfTheDrives) {
  // A listing that could not be read does not matter to the check.
  scoped_env listing("FAKE_LSBLK_LISTING", dir_.file("no-such-listing.json"));
  drives_platform checked;
  EXPECT_TRUE(checked.drive_list.empty());
  EXPECT_TRUE(checked.external_drives.empty());
  EXPECT_TRUE(checked.internal_drives.empty());
  EXPECT_EQ(tools_.calls_of("lsblk"), (std::vector<std::string>{"lsblk --version"}));
}

}  // namespace
