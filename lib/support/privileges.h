#pragma once
// Who the process runs as, as `whoami` reports it: asked once per process.
#include <string>

namespace privileges {

// The user name `whoami` printed, without its line break; empty when it printed
// nothing. Throws "failed to check role" when the command cannot be run.
std::string user_name();
// True exactly when `whoami` prints "root".
bool is_root();
bool check_admin();
// Kept for callers that expect it; it changes nothing and reports success.
bool make_admin(std::string user, std::string password);

}  // namespace privileges
