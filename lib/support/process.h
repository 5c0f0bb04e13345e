#pragma once
// Running outside tools and capturing what they print.
#include <string>

namespace process {

// Runs `command_line` through the shell with standard error merged into standard
// output and returns everything printed, unchanged. The exit status is not examined.
// Throws std::runtime_error only when the pipe cannot be opened or closed.
std::string system(std::string command_line);

struct outcome {
  int status = -1;     // the exit status; -1 when the command did not run to an exit
  std::string output;  // standard output and standard error, byte for byte
};

// Like system(), with the exit status.
outcome run(std::string command_line);

}  // namespace process
