#include "support/shell.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

int run(const std::string& command_line) { return std::system(command_line.c_str()); }

namespace {

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

int run_with_input(const std::string& command_line, const std::string& input) {
  // A socket pair instead of a pipe: send() with MSG_NOSIGNAL cannot kill the
  // process with SIGPIPE when the command exits before reading.
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
  const int parent_end = ends[0];
  const int child_end = ends[1];

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, child_end, STDIN_FILENO);

  const char* argv[] = {"/bin/sh", "-c", command_line.c_str(), nullptr};
  pid_t child = -1;
  int spawn_error = ::posix_spawn(&child, "/bin/sh", &actions, nullptr,
                                  const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(child_end);
  if (spawn_error != 0) {
    ::close(parent_end);
    return -1;
  }
  ::shutdown(parent_end, SHUT_RD);
  send_all(parent_end, input);
  ::close(parent_end);
  return wait_for(child);
}

}  // namespace shell
