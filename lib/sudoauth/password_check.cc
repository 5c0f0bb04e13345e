#include "sudoauth/password_check.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace sudoauth {
namespace {

const char* const discard_output = " >>/dev/null 2>>/dev/null";

// One shell word holding exactly `text`, whatever quotes, blanks or `$(...)` it holds.
std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

// Writes all of `input`; a reader that went away ends the write without SIGPIPE.
void send_all(int fd, const std::string& input) {
  std::size_t sent = 0;
  while (sent < input.size()) {
    ssize_t n = ::send(fd, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

int wait_for(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) == -1) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// Runs `command_line` through /bin/sh with `input` on its standard input and returns
// the wait status, or -1 when the shell could not be started. A socket pair rather
// than a pipe, so that send() can refuse SIGPIPE when the command exits unread.
int run_with_input(const std::string& command_line, const std::string& input) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
  const char* argv[] = {"/bin/sh", "-c", command_line.c_str(), nullptr};
  pid_t child = -1;
  int spawn_error = ::posix_spawn(&child, "/bin/sh", &actions, nullptr,
                                  const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(ends[1]);
  if (spawn_error == 0) send_all(ends[0], input);
  ::close(ends[0]);
  return spawn_error == 0 ? wait_for(child) : -1;
}

// sudo -S reads the password up to a line feed or a carriage return and as a C
// string; whatever follows stays on the standard input of the shell that su starts.
// A password holding such a byte can never be accepted whole, so it is not sent.
bool probe(const std::string& command_line, const std::string& password) {
  if (password.find_first_of(std::string("\n\r\0", 3)) != std::string::npos) return false;
  // Where sudo asks for no password (root, or a rule without one) it reads nothing,
  // and that shell would run the password line as a command: send it nothing then.
  const bool asks_password = run_with_input(std::string("sudo -n -k true") + discard_output, "") != 0;
  return run_with_input(command_line + discard_output, asks_password ? password + "\n" : "") == 0;
}

}  // namespace

bool check_password(const std::string& password) {
  return probe("sudo -S -k su $(whoami)", password);
}

bool check_password_for_user(const std::string& user, const std::string& password) {
  return probe("sudo -S -k su " + quote(user), password);
}

}  // namespace sudoauth
