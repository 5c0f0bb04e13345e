#pragma once
// Running outside tools and capturing what they print.
#include <string>

namespace process {

// Runs `command_line` through the shell with standard error merged into standard
// output and returns everything printed, unchanged. The exit status is not examined.
// Throws std::runtime_error only when the pipe cannot be opened or closed.
std::string system(std::string command_line);

}  // namespace process
