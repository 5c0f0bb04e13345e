#include "support/shell.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <csignal>

extern char** environ;

namespace shell {

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

namespace {

// Starts /bin/sh -c `command_line`, its standard input taken from `stdin_fd` and its
// standard output and error sent to `output_fd`. Unlike std::system, this leaves the process's handling of SIGINT and
// SIGQUIT alone: a Ctrl-C during an unmount still reaches the application.
pid_t spawn_shell(const std::string& command_line, int stdin_fd, int output_fd) {
  // The tool starts with default signal handling and nothing blocked, whatever the host
  // process (Node.js ignores SIGPIPE) or the calling thread has set.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGINT, SIGQUIT}) sigaddset(&defaults, signal);
  sigset_t nothing_blocked;
  sigemptyset(&nothing_blocked);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &nothing_blocked);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, stdin_fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output_fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output_fd, STDERR_FILENO);
  const char* argv[] = {"/bin/sh", "-c", command_line.c_str(), nullptr};
  pid_t child = -1;
  const int spawn_error =
      ::posix_spawn(&child, "/bin/sh", &actions, &attributes, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return spawn_error == 0 ? child : -1;
}

int wait_for(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) == -1) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// Writes all of `input`; a reader that went away ends the write without a signal.
void send_all(int fd, const std::string& input) {
  std::size_t sent = 0;
  while (sent < input.size()) {
    ssize_t n = ::send(fd, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

}  // namespace

// What the tools print is kept from the host's own output streams: the library writes
// nothing there.
int run(const std::string& command_line) { return run_capturing(command_line, {}).status; }

int run_with_input(const std::string& command_line, const std::string& input) {
  return run_capturing(command_line, input).status;
}

outcome run_capturing(const std::string& command_line, const std::string& input) {
  // A socket pair instead of a pipe for the input: send() with MSG_NOSIGNAL cannot
  // kill the process with SIGPIPE when the command exits before reading.
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return {};
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) {
    ::close(ends[0]);
    ::close(ends[1]);
    return {};
  }
  const pid_t child = spawn_shell(command_line, ends[1], output[1]);
  ::close(ends[1]);
  ::close(output[1]);
  outcome result;
  if (child != -1) {
    ::shutdown(ends[0], SHUT_RD);
    send_all(ends[0], input);
  }
  ::close(ends[0]);
  char chunk[512];
  for (;;) {
    const ssize_t n = ::read(output[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(output[0]);
  if (child != -1) result.status = wait_for(child);
  return result;
}

}  // namespace shell
