#pragma once
// Whether sudo takes a password from the user running the process: the one probe
// behind FlashDrive.setPassword and the sudo addon's checks. The password reaches sudo
// only on its standard input, never on a command line or in the environment.
#include <string>

namespace sudo_probe {

enum class verdict {
  accepted,
  wrong_password,
  user_not_allowed,  // sudo refuses this user whatever the password
};

// Runs `sudo_command` (a "sudo -S -k ..." line) with `password` on its standard input
// and tells what sudo made of it. A password holding a line break or a NUL byte can
// never be accepted whole and is not sent.
verdict probe(const std::string& sudo_command, const std::string& password);

// Whether `name` has the shape of an account name (letters, digits, '_', '.', '-', at
// most 32, an optional final '$'), so that no tool can read it as one of its options.
bool is_user_name(const std::string& name);

// The probe's command: su to `user`, after an end of options, quoted as one word.
std::string su_command(const std::string& user);

}  // namespace sudo_probe
