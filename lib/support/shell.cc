#include "support/shell.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Starts /bin/sh -c `command_line`, its standard input taken from `stdin_fd` when that
// is not -1. Unlike std::system, this leaves the process's handling of SIGINT and
// SIGQUIT alone: a Ctrl-C during an unmount still reaches the application.
pid_t spawn_shell(const std::string& command_line, int stdin_fd) {
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
  if (stdin_fd != -1) posix_spawn_file_actions_adddup2(&actions, stdin_fd, STDIN_FILENO);
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

int run(const std::string& command_line) {
  const pid_t child = spawn_shell(command_line, -1);
  return child == -1 ? -1 : wait_for(child);
}

int run_with_input(const std::string& command_line, const std::string& input) {
  // A socket pair instead of a pipe: send() with MSG_NOSIGNAL cannot kill the
  // process with SIGPIPE when the command exits before reading.
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
  const int parent_end = ends[0];
  const int child_end = ends[1];

  const pid_t child = spawn_shell(command_line, child_end);
  ::close(child_end);
  if (child == -1) {
    ::close(parent_end);
    return -1;
  }
  ::shutdown(parent_end, SHUT_RD);
  send_all(parent_end, input);
  ::close(parent_end);
  return wait_for(child);
}

}  // namespace shell
