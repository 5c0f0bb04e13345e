#include "sudoauth/password_check.h"

#include "support/privileges.h"
#include "support/sudo_probe.h"

namespace sudoauth {

bool check_password(const std::string& password) {
  return check_password_for_user(privileges::user_name(), password);
}

bool check_password_for_user(const std::string& user, const std::string& password) {
  // An account that cannot exist is refused like one that does not, and runs nothing.
  if (!sudo_probe::is_user_name(user)) return false;
  return sudo_probe::probe(sudo_probe::su_command(user), password) == sudo_probe::verdict::accepted;
}

}  // namespace sudoauth
