#include "support/privileges.h"

#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "support/process.h"

namespace privileges {

std::string user_name() {
  // Nothing changes who a process runs as: every job would ask again for nothing.
  static std::mutex asked;
  static std::optional<std::string> name;
  std::lock_guard<std::mutex> lock(asked);
  if (!name) {
    std::string output;
    try {
      output = process::system("whoami");
    } catch (const std::exception&) {
      throw std::runtime_error("failed to check role");
    }
    if (!output.empty()) output.pop_back();  // the line break after the name
    name = output;
  }
  return *name;
}

bool is_root() { return user_name() == "root"; }

bool check_admin() { return is_root(); }

bool make_admin(std::string, std::string) { return true; }

}  // namespace privileges
