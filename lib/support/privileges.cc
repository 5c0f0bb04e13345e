#include "support/privileges.h"

#include <exception>
#include <stdexcept>

#include "support/process.h"

namespace privileges {

bool is_root() {
  std::string output;
  try {
    output = process::system("whoami");
  } catch (const std::exception&) {
    throw std::runtime_error("failed to check role");
  }
  if (output.empty()) return false;
  output.pop_back();  // the line break after the name
  return output == "root";
}

bool check_admin() { return is_root(); }

bool make_admin(std::string, std::string) { return true; }

}  // namespace privileges
