#include "support/process.h"

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

}  // namespace process
