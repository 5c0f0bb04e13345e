#include "drives/kernel_unmount.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace kernel_unmount {
namespace {

// mountinfo writes a blank, a tab, a line break and a backslash as \040, \011, \012, \134.
std::string unescaped(const std::string& field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      text += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

}  // namespace

std::vector<mount_entry> mounts() {
  std::vector<mount_entry> entries;
  std::ifstream info("/proc/self/mountinfo");
  std::string line;
  while (std::getline(info, line)) {
    std::istringstream fields(line);
    std::string id, parent, number, root, point;
    if (fields >> id >> parent >> number >> root >> point) entries.push_back({number, unescaped(point)});
  }
  return entries;
}

std::string unmount_device(const std::string& node) {
  struct stat status {};
  if (::stat(node.c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) return "no block device at " + node;
  const std::string number = std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev));
  std::vector<std::string> points;
  for (const mount_entry& entry : mounts()) {
    if (entry.device_number == number) points.push_back(entry.point);
  }
  // The last mounted first: one mounted over another comes off before it.
  for (auto point = points.rbegin(); point != points.rend(); ++point) {
    if (::umount2(point->c_str(), 0) != 0) return *point + ": " + std::strerror(errno);
  }
  return {};
}

}  // namespace kernel_unmount
