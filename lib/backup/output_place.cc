#include "backup/output_place.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

#include "support/coded_error.h"

namespace backup {

namespace {

// The device number of `node` where it is a block device.
bool block_device_number(const std::string& node, dev_t& number) {
  struct stat status {};
  if (::stat(node.c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) return false;
  number = status.st_rdev;
  return true;
}

std::string resolved(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : path;
}

bool below(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  return path == folder || path.rfind(folder + "/", 0) == 0;
}

}  // namespace

std::string folder_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void check_output_path(const std::string& path, bool overwrite) {
  struct stat status {};
  const std::string folder = folder_of(path);
  if (::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    throw coded_error(reason::output, "the output's folder " + folder + " does not exist", ENOENT);
  }
  if (::lstat(path.c_str(), &status) != 0) return;
  if (!S_ISREG(status.st_mode)) throw coded_error(reason::output, path + " exists and is not a regular file", EEXIST);
  if (!overwrite) throw coded_error(reason::output, path + " exists (allow overwriting to replace it)", EEXIST);
}

bool lies_on_drive(const std::string& path, const phydrive& drive) {
  const std::string folder = resolved(folder_of(path));
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) return false;
  std::vector<std::string> nodes{drive.path};
  for (const partition& part : drive.partitions) nodes.push_back(part.path);
  for (const std::string& node : nodes) {
    dev_t number = 0;
    if (block_device_number(node, number) && number == status.st_dev) return true;
  }
  // Some file systems (btrfs) give their files device numbers of their own.
  for (const partition& part : drive.partitions) {
    const std::string& mounted_at = part.mountpoint;
    if (!mounted_at.empty() && mounted_at != "undefined" && below(folder, resolved(mounted_at))) return true;
  }
  return false;
}

}  // namespace backup
