#include "drives/disk_ports.h"

#include <filesystem>
#include <system_error>

namespace disk_ports {

std::map<std::string, std::string> read(const std::string& by_path_dir) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> ports;
  std::error_code error;
  for (fs::directory_iterator entry(by_path_dir, error), end; !error && entry != end; entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (name.find("-part") != std::string::npos) continue;  // a partition's link
    std::error_code resolve_error;
    const fs::path node = fs::canonical(entry->path(), resolve_error);
    // Two names for one disk (older udev rules add compatibility links): the shorter stays.
    if (resolve_error) continue;
    auto& port = ports[node.string()];
    if (port.empty() || name.size() < port.size()) port = name;
  }
  return ports;
}

}  // namespace disk_ports
