#pragma once
// The one seam through which tools run when only their exit status matters.
// Tests replace the tools by stand-ins on PATH, never these functions.
#include <string>

namespace shell {

// Wraps `text` in single quotes so that the shell sees exactly one word holding
// exactly these bytes, whatever quotes, blanks or `$(...)` it contains.
std::string quote(const std::string& text);

// Runs `command_line` through /bin/sh, its standard input empty and its output
// discarded, and returns its wait status (0 on success), or -1 when the shell could
// not be started.
int run(const std::string& command_line);

// Like run(), with `input` written to the command's standard input, which is then
// closed. Secrets travel this way so they never show on a command line or in the
// environment. A command that exits without reading its input does not raise SIGPIPE.
int run_with_input(const std::string& command_line, const std::string& input);

// The wait status of a command and what it printed on its standard output and error.
struct outcome {
  int status = -1;
  std::string output;
};

// Like run_with_input(), keeping what the command prints: for tools whose refusal
// says why (sudo tells a wrong password from a user it does not know).
outcome run_capturing(const std::string& command_line, const std::string& input);

}  // namespace shell
