#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>

#include <filesystem>
#include <string>

#include "support/process.h"
#include "support/shell.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;
using test_support::read_file;
using test_support::temp_dir;

// Exit code of a wait status, or -1 when the command did not exit normally.
int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

std::size_t open_descriptors() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

TEST(ShellQuote, ShellSeesExactlyOneWordWithTheSameBytes) {
  const std::string texts[] = {
      "",
      "plain",
      "it's",
      "'",
      "''",
      "'leading and trailing'",
      "a b\tc  d",
      "$(echo injected)",
      "`echo injected`",
      "$HOME ${PATH} $1 $$",
      "line one\nline two\n",
      "back\\slash \\' \\\\",
      "\"double\" quotes",
      "; echo injected; #",
      "* ? [a-z] ~ & | < > ( ) { }",
      "-n",
      "\x01\x7f\x80\xc3\xa4\xff",
  };
  for (const auto& text : texts) {
    // Word boundaries show as '|': more than one word would print more of them.
    EXPECT_EQ(process::system("printf '%s|' " + shell::quote(text)), text + "|")
        << "quoted as " << shell::quote(text);
  }
}

TEST(ShellQuote, QuotedTextIsSafeInsideALongerCommandLine) {
  temp_dir dir;
  const std::string path = dir.file("name with 'quotes' and $(blanks)");
  ASSERT_EQ(shell::run("printf content > " + shell::quote(path)), 0);
  EXPECT_EQ(read_file(path), "content");
  EXPECT_EQ(std::filesystem::directory_iterator(dir.path())->path().string(), path);
}

TEST(ShellRun, ReturnsTheWaitStatus) {
  EXPECT_EQ(shell::run("true"), 0);
  EXPECT_EQ(shell::run("exit 0"), 0);
  const int failed = shell::run("false");
  EXPECT_NE(failed, 0);
  EXPECT_EQ(exit_code(failed), 1);
  EXPECT_EQ(exit_code(shell::run("exit 7")), 7);
  EXPECT_EQ(exit_code(shell::run("flasher-no-such-tool 2>/dev/null")), 127);
}

namespace {
volatile std::sig_atomic_t interrupts_seen = 0;
void count_interrupt(int) { interrupts_seen = interrupts_seen + 1; }
}  // namespace

// std::system ignores SIGINT in the whole process while a command runs: a Ctrl-C
// during an unmount would be lost to the application.
TEST(ShellRun, InterruptDuringACommandStillReachesTheProcess) {
  struct sigaction handler {};
  struct sigaction previous {};
  handler.sa_handler = count_interrupt;
  sigemptyset(&handler.sa_mask);
  ASSERT_EQ(::sigaction(SIGINT, &handler, &previous), 0);
  interrupts_seen = 0;
  const int status = shell::run("kill -INT $PPID; sleep 0.2");
  const int seen = interrupts_seen;
  ::sigaction(SIGINT, &previous, nullptr);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(seen, 1);
}

TEST(ShellRun, ToolsStartWithDefaultSignalHandling) {
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);  // as Node.js does
  // Bit 12 of SigIgn is SIGPIPE (signal 13).
  const int status = shell::run("ignored=$(grep SigIgn /proc/self/status | cut -f2); exit $(( 0x$ignored >> 12 & 1 ))");
  ::sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_EQ(status, 0) << "the shell inherited ignored signals";
}

TEST(ShellRunWithInput, DeliversExactlyTheInputBytes) {
  temp_dir dir;
  const std::string path = dir.file("received");
  const std::string input = "secret\n\0with nul and \xff bytes\nno final break"s;
  EXPECT_EQ(shell::run_with_input("cat > " + shell::quote(path), input), 0);
  EXPECT_EQ(read_file(path), input);

  EXPECT_EQ(shell::run_with_input("cat > " + shell::quote(path), ""), 0);
  EXPECT_EQ(read_file(path), "");
}

TEST(ShellRunWithInput, DeliversInputLargerThanTheSocketBuffer) {
  temp_dir dir;
  const std::string path = dir.file("received");
  const auto bytes = test_support::pattern_bytes(1 << 20, 7);
  const std::string input(bytes.begin(), bytes.end());
  // The reader starts late, so the writer has to wait for it.
  EXPECT_EQ(shell::run_with_input("sleep 0.1; cat > " + shell::quote(path), input), 0);
  EXPECT_EQ(read_file(path), input);
}

TEST(ShellRunWithInput, CommandThatStopsReadingDoesNotKillTheCaller) {
  const std::string input(1 << 20, 'x');
  EXPECT_EQ(shell::run_with_input("true", input), 0);
  EXPECT_EQ(exit_code(shell::run_with_input("exit 4", input)), 4);

  temp_dir dir;
  const std::string path = dir.file("head");
  EXPECT_EQ(shell::run_with_input("head -c 10 > " + shell::quote(path), input), 0);
  EXPECT_EQ(read_file(path), std::string(10, 'x'));
}

TEST(ShellRunWithInput, InputEndsWithEndOfFile) {
  // wc only answers once its input is closed.
  EXPECT_EQ(exit_code(shell::run_with_input("test \"$(wc -c)\" -eq 5", "12345")), 0);
  EXPECT_EQ(exit_code(shell::run_with_input("test \"$(wc -c)\" -eq 5", "1234")), 1);
}

TEST(ShellRunWithInput, LeavesNoDescriptorOpen) {
  const std::size_t before = open_descriptors();
  shell::run_with_input("cat >/dev/null", "input");
  shell::run_with_input("true", std::string(1 << 20, 'x'));
  EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
