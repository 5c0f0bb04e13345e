#include "drives/drives.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <stdexcept>

#include "drives/kernel_unmount.h"
#include "support/coded_error.h"
#include "support/privileges.h"
#include "support/process.h"
#include "support/shell.h"
#include "support/stringops.h"

namespace {

// `which` of Debian prints nothing for a missing tool; shells print "... not found".
bool names_no_tool(const std::string& which_output) {
  const bool blank = std::all_of(which_output.begin(), which_output.end(),
                                 [](unsigned char c) { return std::isspace(c) != 0; });
  return blank || which_output.find("not found") != std::string::npos;
}

void check_lsblk() {
  if (names_no_tool(process::system("which lsblk"))) {
    throw coded_error(
        reason::no_drive,
        "'lsblk' is not available => please install make sure 'util-linux' is installed");
  }
  // The version is the last word, as in "lsblk from util-linux 2.38.1"; the JSON
  // columns of the listing need 2.34.
  const std::vector<std::string> words = stringops::split(process::system("lsblk  --version"), ' ');
  const double version = std::stod(words.empty() ? std::string() : words.back());
  if (version < 2.34) throw coded_error(reason::no_drive, "please update 'util-linux' to version >= 2.34");
}

// udisksctl says why on its last line, such as "Error unmounting /dev/sdb1: target is busy".
std::string last_line(std::string output) {
  while (!output.empty() && std::isspace(static_cast<unsigned char>(output.back()))) output.pop_back();
  const auto start = output.rfind('\n');
  return start == std::string::npos ? output : output.substr(start + 1);
}

}  // namespace

drives_platform::drives_platform() {
  // Once the check passed, lsblk stays: a process asks once. A refusal is asked again,
  // so that util-linux installed meanwhile is found.
  static std::mutex checking;
  static bool passed = false;
  std::lock_guard<std::mutex> lock(checking);
  if (passed) return;
  check_lsblk();
  passed = true;
}

void drives_platform::mount(partition part, bool mounting) {
  partition current;
  {
    std::lock_guard<std::mutex> lock(lists_mutex);
    const bool listed = std::any_of(drive_list.begin(), drive_list.end(), [&](const phydrive& d) {
      return std::find(d.partitions.begin(), d.partitions.end(), part) != d.partitions.end();
    });
    if (!listed) throw std::runtime_error("required partition is unavailable");
    // The listed record, not the caller's copy, tells whether it is mounted now.
    for (const phydrive& drive : drive_list) {
      for (const partition& candidate : drive.partitions) {
        if (candidate.name == part.name || candidate.path == part.name ||
            candidate.rawpath == part.name) {
          current = candidate;
          break;
        }
      }
    }
  }
  const bool mounted = !current.mountpoint.empty();
  if (mounted == mounting) return;

  const std::string command =
      std::string(mounting ? "udisksctl mount" : "udisksctl unmount") + " --block-device " + shell::quote(current.path);
  const shell::outcome result = shell::run_capturing(command, {});
  if (result.status == 0) return;
  std::string cause = last_line(result.output);
  // Root needs no udisks daemon to unmount: the kernel does it.
  if (!mounting && privileges::is_root()) {
    cause = kernel_unmount::unmount_device(current.path);
    if (cause.empty()) return;
  }
  throw std::runtime_error(mounting ? "failed to mount " + current.path + ": " + cause
                                    : "failed to unmount " + current.path + " from " + current.mountpoint + ": " + cause);
}
