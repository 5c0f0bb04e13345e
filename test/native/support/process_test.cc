#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/privileges.h"
#include "support/process.h"
#include "support/thread_sleep.h"
#include "test_support.h"

namespace {

using test_support::scoped_env;
using test_support::stand_in_tools;
using test_support::temp_dir;

TEST(ProcessSystem, ReturnsOutputExactlyAsPrinted) {
  EXPECT_EQ(process::system("true"), "");
  EXPECT_EQ(process::system("printf abc"), "abc");
  EXPECT_EQ(process::system("printf 'abc\\n'"), "abc\n");
  EXPECT_EQ(process::system("printf '\\n\\n  x  \\n\\n'"), "\n\n  x  \n\n");
}

TEST(ProcessSystem, LinesLongerThanOneChunkComeBackWhole) {
  const std::string long_line(1000, 'x');
  EXPECT_EQ(process::system("printf %s " + long_line), long_line);

  // Lines just around the chunk size, with and without their line break.
  const std::string a(255, 'a');
  const std::string b(256, 'b');
  const std::string c(254, 'c');
  EXPECT_EQ(process::system("printf '%s\\n%s\\n%s' " + a + " " + b + " " + c),
            a + "\n" + b + "\n" + c);
}

TEST(ProcessSystem, OutputLongerThanThePipeBufferIsComplete) {
  const std::string output = process::system("head -c 300000 /dev/zero | tr '\\0' y");
  EXPECT_EQ(output, std::string(300000, 'y'));
}

TEST(ProcessSystem, StandardErrorInterleavesInWritingOrder) {
  EXPECT_EQ(process::system("sh -c 'echo one; echo two >&2; echo three; echo four >&2'"),
            "one\ntwo\nthree\nfour\n");
  // The redirection binds only to the last command of a list.
  testing::internal::CaptureStderr();
  const std::string output = process::system("echo early >&2; sh -c 'echo late >&2'");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "early\n");
  EXPECT_EQ(output, "late\n");
}

TEST(ProcessSystem, TrailingDevNullSwallowsStandardErrorToo) {
  EXPECT_EQ(process::system("sh -c 'echo out; echo err >&2' >/dev/null"), "");
}

TEST(ProcessSystem, RedirectionAppliesToLastCommandOfPipelineOnly) {
  testing::internal::CaptureStderr();
  const std::string output = process::system("sh -c 'echo first; echo early >&2' | tr a-z A-Z");
  const std::string leaked = testing::internal::GetCapturedStderr();
  EXPECT_EQ(output, "FIRST\n");
  EXPECT_EQ(leaked, "early\n");

  EXPECT_EQ(process::system("echo data | sh -c 'cat; echo late >&2'"), "data\nlate\n");
}

TEST(ProcessSystem, MissingCommandReturnsTheShellsErrorText) {
  // An unreadable folder on the inherited PATH makes the shell say "Permission denied".
  temp_dir empty;
  scoped_env path("PATH", empty.path());
  std::string output;
  ASSERT_NO_THROW(output = process::system("flasher-no-such-tool --version"));
  EXPECT_NE(output.find("flasher-no-such-tool"), std::string::npos) << output;
  EXPECT_NE(output.find("not found"), std::string::npos) << output;
}

TEST(ProcessSystem, ExitStatusIsNotExamined) {
  EXPECT_EQ(process::system("echo partial; exit 3"), "partial\n");
  EXPECT_EQ(process::system("kill -9 $$"), "");
}

TEST(ProcessSystem, OutputIsTextEndingAtNulWithinAChunk) {
  // The rest of a chunk after a NUL byte is lost; the next line comes through.
  EXPECT_EQ(process::system("printf 'ab\\000cd\\nef\\n'"), "abef\n");
}

TEST(ProcessSystem, ConcurrentCallsEachGetTheirOwnOutput) {
  std::vector<std::string> outputs(4);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    threads.emplace_back([i, &outputs] {
      outputs[i] = process::system("for n in 1 2 3 4 5; do echo " + std::to_string(i) + "; done");
    });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const std::string line = std::to_string(i) + "\n";
    EXPECT_EQ(outputs[i], line + line + line + line + line);
  }
}

TEST(PrivilegesIsRoot, MatchesTheRealUser) {
  EXPECT_EQ(privileges::is_root(), ::geteuid() == 0);
  EXPECT_EQ(privileges::check_admin(), ::geteuid() == 0);
}

namespace {

// Whether a fresh process, whose whoami prints `output`, is root: each process asks once.
bool is_root_in_a_child(const char* output) {
  return test_support::in_a_child([&] {
           scoped_env fake("FAKE_WHOAMI_OUTPUT", output);
           return std::string(privileges::is_root() && privileges::check_admin() ? "root" : "not root");
         }) == "root";
}

}  // namespace

TEST(PrivilegesIsRoot, TrueOnlyForRootFollowedByOneCharacter) {
  temp_dir dir;
  stand_in_tools tools(dir);
  struct Case {
    const char* output;
    bool root;
    const char* why;
  };
  const Case cases[] = {
      {"root\n", true, "root"},
      {"root ", true, "any final character counts as the line break"},
      {"roots\n", false, "extra character before the line break"},
      {"Root\n", false, "capital letter"},
      {"ROOT\n", false, "upper case"},
      {"root", false, "no line break: the last letter is removed"},
      {"root\n\n", false, "two line breaks"},
      {" root\n", false, "leading blank"},
      {"alice\n", false, "another user"},
      {"", false, "empty output"},
      {"\n", false, "only a line break"},
      {"whoami: cannot find name for user ID 1000\n", false, "tool error"},
  };
  for (const auto& c : cases) EXPECT_EQ(is_root_in_a_child(c.output), c.root) << c.why;
}

TEST(PrivilegesIsRoot, WhoamiRunsOncePerProcess) {
  temp_dir dir;
  stand_in_tools tools(dir);
  EXPECT_EQ(privileges::is_root(), privileges::is_root());
  EXPECT_EQ(privileges::user_name(), privileges::user_name());
  EXPECT_EQ(tools.calls_of("whoami"), std::vector<std::string>{"whoami"});
}

TEST(PrivilegesIsRoot, ShellErrorLineIsNotRoot) {
  temp_dir dir;
  scoped_env path("PATH", dir.path());  // no whoami anywhere: the shell complains
  EXPECT_NE(process::system("whoami").find("not found"), std::string::npos);
  EXPECT_FALSE(privileges::is_root());
}

TEST(PrivilegesMakeAdmin, ReportsSuccessAndRunsNothing) {
  temp_dir dir;
  stand_in_tools tools(dir);
  EXPECT_TRUE(privileges::make_admin("alice", "secret"));
  EXPECT_TRUE(tools.calls().empty());
}

using clock_type = std::chrono::steady_clock;

TEST(ThreadSleep, BlocksAtLeastTheGivenTime) {
  auto start = clock_type::now();
  thread_sleep::millisec(30);
  EXPECT_GE(clock_type::now() - start, std::chrono::milliseconds(30));

  start = clock_type::now();
  thread_sleep::microsec(5000);
  EXPECT_GE(clock_type::now() - start, std::chrono::microseconds(5000));

  thread_sleep::millisec(0);
  thread_sleep::microsec(0);
}

TEST(ThreadSleep, AcceptsOneSecondAndMore) {
  // Some microsecond sleeps refuse a second or more and return at once.
  const auto start = clock_type::now();
  thread_sleep::microsec(1000000);
  EXPECT_GE(clock_type::now() - start, std::chrono::seconds(1));
}

}  // namespace
