#pragma once
// Whether the process runs as the superuser, as `whoami` reports it.
#include <string>

namespace privileges {

// True exactly when `whoami` prints "root". Throws "failed to check role" when
// the command cannot be run.
bool is_root();
bool check_admin();
// Kept for callers that expect it; it changes nothing and reports success.
bool make_admin(std::string user, std::string password);

}  // namespace privileges
