#include "flash/node_access.h"

#include <sys/stat.h>
#include <unistd.h>

#include "flash_fixture.h"
#include "support/process.h"
#include "support/shell.h"

using flash_test::flash_fixture;
using test_support::scoped_env;

namespace {

class NodeAccess : public flash_fixture {
 protected:
  NodeAccess() : accepted("FAKE_SUDO_PASSWORD", "it's $(secret)") {
    test_support::write_file(disk.path, "drive");
    ::chmod(disk.path.c_str(), 0640);
  }
  // Mode, owner and access list: what a job must leave as it found it.
  std::string state() const {
    struct stat status {};
    ::stat(disk.path.c_str(), &status);
    return std::to_string(status.st_mode) + " " + std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid) +
           "\n" + process::system("getfacl --omit-header --absolute-names --numeric -- '" + disk.path + "'");
  }
  std::string own_entry() const { return "user:" + std::to_string(::getuid()) + ":rw-"; }

  scoped_env accepted;
  statistics_record stats_record;
};

}  // namespace

TEST_F(NodeAccess, GrantsTheCallerAloneAndPutsEverythingBack) {
  // An entry of another user's, as udev gives a desktop's seat, must come back too.
  ASSERT_EQ(shell::run("setfacl -m u:4242:r -- '" + disk.path + "'"), 0);
  const std::string before = state();
  node_access access(disk.path, "rw", "it's $(secret)", stats_record);
  EXPECT_NE(state().find(own_entry()), std::string::npos) << state();
  EXPECT_NE(state().find("other::---"), std::string::npos) << "no other user gains access";
  access.restore();
  EXPECT_EQ(state(), before);
  EXPECT_EQ(stats(stats_record)["numerrs"], 0);
}

TEST_F(NodeAccess, RefusalsAreRecordedAndChangeNothing) {
  for (const auto& [password, errors] : {std::pair<std::string, int>{"its $(secret)", 1}, {"", 2}}) {
    const std::string before = state();
    statistics_record record;
    node_access access(disk.path, "rw", password, record);
    access.restore();
    EXPECT_EQ(state(), before) << password;
    EXPECT_EQ(stats(record)["errque"], "failed to alter permissions") << password;
    EXPECT_EQ(stats(record)["numerrs"], errors) << password;
  }
}

TEST_F(NodeAccess, NodePathWithShellCharactersIsOneWord) {
  const std::string odd = dir.file("drive 'one' $(touch pwned).img");
  ::rename(disk.path.c_str(), odd.c_str());
  node_access access(odd, "r", "it's $(secret)", stats_record);
  access.restore();
  EXPECT_EQ(stats(stats_record)["numerrs"], 0);
  EXPECT_NE(::access(dir.file("pwned).img").c_str(), F_OK), 0);
  EXPECT_NE(::access("pwned", F_OK), 0);
}
