#pragma once
// Asks sudo whether a password is accepted on this machine. The password reaches
// sudo only on its standard input, never on a command line or in the environment.
#include <string>

namespace sudoauth {

// True when `sudo -S -k` accepts `password` and `su` to the user running the
// process then ends with status 0. Blocks until the tools have ended.
bool check_password(const std::string& password);

// Like check_password(), with `su` switching to the account `user`; the password is
// still the one sudo asks of the user running the process.
bool check_password_for_user(const std::string& user, const std::string& password);

}  // namespace sudoauth
