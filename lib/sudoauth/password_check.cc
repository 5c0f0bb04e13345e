#include "sudoauth/password_check.h"

#include "support/privileges.h"
#include "support/shell.h"
#include "support/sudo_probe.h"

namespace sudoauth {

bool check_password(const std::string& password) {
  return sudo_probe::probe("sudo -S -k su " + shell::quote(privileges::user_name()), password) ==
         sudo_probe::verdict::accepted;
}

bool check_password_for_user(const std::string& user, const std::string& password) {
  return sudo_probe::probe("sudo -S -k su " + shell::quote(user), password) == sudo_probe::verdict::accepted;
}

}  // namespace sudoauth
