#include "support/sudo_probe.h"

#include <cctype>

#include "support/shell.h"

namespace sudo_probe {
namespace {

// sudo's words for a user the sudoers rules leave out, whether or not the password was
// right: "alice is not in the sudoers file", "Sorry, user alice is not allowed to
// execute ...", "alice is not allowed to run sudo on host".
bool refuses_the_user(const std::string& output) {
  for (const char* words : {"is not in the sudoers", "is not allowed to", "may not run sudo"}) {
    if (output.find(words) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

verdict probe(const std::string& sudo_command, const std::string& password) {
  // sudo -S reads the password up to a line feed or a carriage return and as a C
  // string; whatever follows would stay on the standard input of the command it runs.
  if (password.find_first_of(std::string("\n\r\0", 3)) != std::string::npos) return verdict::wrong_password;
  // Where sudo asks for no password (root, or a rule without one) it reads nothing,
  // and the command it runs would read the password line: send it nothing then.
  const bool asks_password = shell::run("sudo -n -k true") != 0;
  const shell::outcome result = shell::run_capturing(sudo_command, asks_password ? password + "\n" : std::string());
  if (result.status == 0) return verdict::accepted;
  return refuses_the_user(result.output) ? verdict::user_not_allowed : verdict::wrong_password;
}

bool is_user_name(const std::string& name) {
  if (name.empty() || name.size() > 32 || name == "." || name == "..") return false;
  const std::size_t end = name.back() == '$' ? name.size() - 1 : name.size();
  bool all_digits = true;
  for (std::size_t i = 0; i < end; ++i) {
    const char c = name[i];
    const bool word = std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
    if (!word && !(c == '-' && i > 0)) return false;
    all_digits = all_digits && std::isdigit(static_cast<unsigned char>(c));
  }
  return end > 0 && !all_digits;
}

std::string su_command(const std::string& user) { return "sudo -S -k su -- " + shell::quote(user); }

}  // namespace sudo_probe
