#include "finish/eject_step.h"

#include <fcntl.h>

#include <algorithm>
#include <cctype>

#include "device/block_io.h"
#include "support/process.h"
#include "support/shell.h"

namespace {

// The tool's first line, as the reason it gives.
std::string first_line(const std::string& output) {
  std::string line = output.substr(0, output.find('\n'));
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())) != 0) line.pop_back();
  return line.empty() ? "udisksctl failed" : line;
}

// `which` of Debian prints nothing for a missing tool; shells print "... not found".
bool udisksctl_missing() {
  const std::string found = process::system("which udisksctl");
  return std::all_of(found.begin(), found.end(), [](unsigned char c) { return std::isspace(c) != 0; }) ||
         found.find("not found") != std::string::npos;
}

void flush(const std::string& device_path) {
  block_io::unique_fd device(::open(device_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (device.valid()) block_io::drop_cached_pages(device.get());
}

}  // namespace

step_record eject_drive(const std::string& device_path) {
  step_record record;
  if (udisksctl_missing()) {
    flush(device_path);
    record.message = "not ejected: udisksctl is not installed";
    return record;
  }
  flush(device_path);
  const process::outcome off = process::run("udisksctl power-off -b " + shell::quote(device_path));
  if (off.status != 0) {
    record.status = step_status::failed;
    record.message = "not ejected: " + first_line(off.output);
    return record;
  }
  record.status = step_status::done;
  record.message = "powered off";
  return record;
}
