#include "sudoauth/password_check.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using test_support::scoped_env;
using test_support::stand_in_tools;
using test_support::temp_dir;
using calls_t = std::vector<std::string>;

const std::string right_password = "correct horse";

std::string current_user() { return ::getpwuid(::geteuid())->pw_name; }

class PasswordCheck : public ::testing::Test {
 protected:
  bool exists(const std::string& path) const { return std::filesystem::exists(path); }
  // The calls of the probe itself, without the check whether sudo asks for a password.
  calls_t probe_calls() const {
    calls_t calls;
    for (const auto& call : tools.calls()) {
      if (call.rfind("sudo -n -k true", 0) != 0) calls.push_back(call);
    }
    return calls;
  }

  temp_dir dir;
  stand_in_tools tools{dir};
  scoped_env password{"FAKE_SUDO_PASSWORD", right_password};
  scoped_env no_rule{"FAKE_SUDO_NOPASSWD", ""};
};

TEST_F(PasswordCheck, RightPasswordRunsSuToTheCurrentUser) {
  EXPECT_TRUE(sudoauth::check_password(right_password));
  const std::string user = current_user();
  EXPECT_EQ(probe_calls(),
            (calls_t{"whoami", "sudo -S -k su -- " + user + " [accepted]", "su -- " + user}));
}

TEST_F(PasswordCheck, SuSwitchesToTheNameWhoamiPrints) {
  scoped_env name("FAKE_WHOAMI", "probe-user");
  scoped_env account("FAKE_SU_ACCOUNTS", "probe-user");
  EXPECT_TRUE(sudoauth::check_password(right_password));
  EXPECT_EQ(tools.calls_of("su"), calls_t{"su -- probe-user"});
}

TEST_F(PasswordCheck, WrongOrEmptyPasswordIsRefusedAndSuNeverRuns) {
  for (const std::string attempt : {"correct horse ", "Correct horse", "correct", ""}) {
    SCOPED_TRACE(attempt);
    EXPECT_FALSE(sudoauth::check_password(attempt));
    EXPECT_FALSE(sudoauth::check_password_for_user("root", attempt));
  }
  const calls_t sudo_calls = tools.calls_of("sudo -S");
  EXPECT_EQ(sudo_calls.size(), 8u);
  for (const auto& call : sudo_calls) EXPECT_NE(call.find(" [refused]"), std::string::npos) << call;
  EXPECT_TRUE(tools.calls_of("su").empty());
}

TEST_F(PasswordCheck, EmptyPasswordIsProbedLikeAnyOther) {
  scoped_env empty("FAKE_SUDO_PASSWORD", "");
  EXPECT_TRUE(sudoauth::check_password(""));
  EXPECT_FALSE(sudoauth::check_password(right_password));
}

TEST_F(PasswordCheck, SudoWithoutPasswordRuleAcceptsAnyText) {
  scoped_env rule("FAKE_SUDO_NOPASSWD", "1");
  EXPECT_TRUE(sudoauth::check_password(""));
  EXPECT_TRUE(sudoauth::check_password("anything"));
}

TEST_F(PasswordCheck, ShellCharactersInThePasswordReachSudoUnchanged) {
  const std::string victim = dir.file("injected");
  const std::vector<std::string> passwords = {
      "it's",
      "'; touch " + victim + "; echo '",
      "$(touch " + victim + ")",
      "`touch " + victim + "`",
      "a  b\tc",
      "\\' \"$HOME\" * ; | & > " + victim,
      "--help -k",
  };
  for (const auto& text : passwords) {
    SCOPED_TRACE(text);
    scoped_env accepted("FAKE_SUDO_PASSWORD", text);
    EXPECT_TRUE(sudoauth::check_password(text));
    EXPECT_TRUE(sudoauth::check_password_for_user("root", text));
    EXPECT_FALSE(sudoauth::check_password(text + "x"));
  }
  EXPECT_FALSE(exists(victim));
}

TEST_F(PasswordCheck, PasswordIsOnNoCommandLineAndNotLogged) {
  const std::string secret = "s3cret phrase";
  scoped_env accepted("FAKE_SUDO_PASSWORD", secret);
  ASSERT_TRUE(sudoauth::check_password_for_user("root", secret));
  // The stand-in sudo marks its line when the password shows on its parent's
  // command line, and every tool logs its own arguments.
  EXPECT_EQ(probe_calls(), (calls_t{"sudo -S -k su -- root [accepted]", "su -- root"}));
}

TEST_F(PasswordCheck, PasswordThatSudoWouldSplitRunsNothing) {
  const std::string victim = dir.file("injected");
  const std::vector<std::string> passwords = {
      right_password + "\ntouch " + victim,
      "wrong\n" + right_password,
      "wrong\r" + right_password,
      right_password + "\r",
      right_password + std::string("\0", 1) + "touch " + victim,
  };
  for (const auto& text : passwords) {
    EXPECT_FALSE(sudoauth::check_password(text));
    EXPECT_FALSE(sudoauth::check_password_for_user("root", text));
  }
  EXPECT_TRUE(tools.calls_of("sudo").empty());
  EXPECT_FALSE(exists(victim));
}

TEST_F(PasswordCheck, OnlyAccountNamesReachSuAfterTheEndOfOptions) {
  const std::string victim = dir.file("injected");
  for (const std::string& name : std::vector<std::string>{"--command=touch " + victim, "-c", "o'brien $(touch " + victim + ")", "a b",
                                                          "", "1000", "..", std::string(33, 'a')}) {
    scoped_env account("FAKE_SU_ACCOUNTS", name);
    EXPECT_FALSE(sudoauth::check_password_for_user(name, right_password)) << name;
  }
  EXPECT_TRUE(tools.calls_of("sudo -S").empty());
  for (const std::string name : {"build-bot$", "o.brien_2"}) {
    scoped_env account("FAKE_SU_ACCOUNTS", name);
    EXPECT_TRUE(sudoauth::check_password_for_user(name, right_password)) << name;
  }
  EXPECT_EQ(tools.calls_of("su"), (calls_t{"su -- build-bot$", "su -- o.brien_2"}));
  EXPECT_FALSE(exists(victim));
}

TEST_F(PasswordCheck, UnknownAccountFailsEvenWithTheRightPassword) {
  EXPECT_FALSE(sudoauth::check_password_for_user("no-such-account", right_password));
  EXPECT_EQ(probe_calls(), (calls_t{"sudo -S -k su -- no-such-account [accepted]", "su -- no-such-account"}));
}

TEST_F(PasswordCheck, MissingSudoGivesFalse) {
  // Only whoami on PATH: the shell itself is started by its absolute path.
  const std::string bin = dir.file("bin");
  std::filesystem::create_directory(bin);
  std::filesystem::create_symlink("/usr/bin/whoami", bin + "/whoami");
  scoped_env path("PATH", bin);
  EXPECT_FALSE(sudoauth::check_password(right_password));
  EXPECT_FALSE(sudoauth::check_password_for_user("root", right_password));
}

}  // namespace

TEST_F(PasswordCheck, PasswordNeverReachesTheShellOfSuWhenSudoAsksForNone) {
  scoped_env rule("FAKE_SUDO_NOPASSWD", "1");
  scoped_env real_su("FAKE_SU_READS_STDIN", "1");
  const std::string marker = dir.path() + "/pwned";
  EXPECT_TRUE(sudoauth::check_password("touch " + marker));
  EXPECT_TRUE(sudoauth::check_password_for_user("root", "touch " + marker));
  EXPECT_FALSE(exists(marker)) << "the password text ran as a command";
}
