#include "url_server.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace net_test {

url_server::url_server(const test_support::temp_dir& dir, const nlohmann::json& files) {
  const std::string config = dir.file("url-server.json");
  test_support::write_file(config, files.dump());
  int out[2];
  if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const char* argv[] = {"node", FLASHER_URL_SERVER, config.c_str(), nullptr};
  const int failed = ::posix_spawnp(&pid_, "node", &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (failed != 0) {
    ::close(out[0]);
    throw std::runtime_error("cannot start node");
  }
  char c = 0;
  while (::read(out[0], &c, 1) == 1 && c != '\n') base_ += c;
  ::close(out[0]);
  if (base_.empty()) throw std::runtime_error("the url server did not start");
}

url_server::~url_server() {
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

}  // namespace net_test
