#include "support/process.h"

#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace process {

std::string system(std::string command_line) {
  command_line += " 2>&1";
  FILE* pipe = ::popen(command_line.c_str(), "r");
  if (pipe == nullptr) {
    throw std::runtime_error("'popen' failed with " + std::to_string(errno));
  }
  std::string output;
  char chunk[256];
  while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) {
    output.append(chunk, std::strlen(chunk));
  }
  if (::pclose(pipe) == -1) {
    throw std::runtime_error("failed to close 'popen' stream with " + std::to_string(errno));
  }
  return output;
}

outcome run(std::string command_line) {
  command_line += " 2>&1";
  FILE* pipe = ::popen(command_line.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("'popen' failed with " + std::to_string(errno));
  outcome result;
  char chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, got);
  const int status = ::pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

}  // namespace process
