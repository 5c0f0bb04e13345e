#include "flash/node_access.h"

#include <unistd.h>

#include <regex>
#include <sstream>

#include "support/process.h"
#include "support/shell.h"

namespace {

// getfacl's lines ("user::rw-", "group::rw-", "mask::rw-", "other::---", named
// entries, comments) as setfacl --set takes them: the entries joined by commas, or ""
// when the output is not an access list.
std::string access_list(const std::string& getfacl_output) {
  static const std::regex entry("^(user|group|mask|other):[^:,\\s]*:[rwx-]{3}$");
  std::istringstream lines(getfacl_output);
  std::string line;
  std::string joined;
  while (std::getline(lines, line)) {
    line = line.substr(0, line.find('#'));
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    if (line.empty()) continue;
    if (!std::regex_match(line, entry)) return {};
    joined += (joined.empty() ? "" : ",") + line;
  }
  return joined;
}

}  // namespace

node_access::node_access(std::string node, const char* rights, std::string password, statistics_record& stats)
    : node_(std::move(node)), password_(std::move(password)), stats_(stats) {
  if (password_.empty()) stats_.error_queue(reason::password, "password is not set");
  before_ = access_list(process::system("getfacl --omit-header --absolute-names --numeric -- " + shell::quote(node_)));
  if (before_.empty()) {
    stats_.error_queue(reason::password, "failed to alter permissions: the access list of " + node_ + " is unreadable");
    return;
  }
  const std::string entry = "u:" + std::to_string(::getuid()) + ":" + rights;
  if (shell::run_with_input("sudo -S -k setfacl -m " + entry + " -- " + shell::quote(node_), password_ + "\n") != 0) {
    stats_.error_queue(reason::password, "failed to alter permissions");
    return;
  }
  granted_ = true;
}

void node_access::restore() {
  if (!granted_) return;
  granted_ = false;
  const std::string command = "sudo -S -k setfacl --set " + shell::quote(before_) + " -- " + shell::quote(node_);
  if (shell::run_with_input(command, password_ + "\n") != 0) {
    stats_.error_queue(reason::password, "failed to alter permissions");
  }
}
