#include "drives/drives.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "drives/disk_ports.h"
#include "drives/lsblk_listing.h"
#include "support/coded_error.h"
#include "support/process.h"
#include "support/thread_sleep.h"

namespace {

// The file behind a loop device, from sysfs; empty where the kernel names none.
std::string backing_file_of(const std::string& name) {
  std::ifstream file("/sys/block/" + name + "/loop/backing_file");
  std::string path;
  std::getline(file, path);
  return path;
}

}  // namespace

physical_drives::physical_drives(bool loops) {
  include_loops = loops;
  update(false);
}

void physical_drives::update(bool verbose) {
  std::vector<phydrive> listing;
  try {
    listing = lsblk_listing::parse(process::system(lsblk_listing::command_line), include_loops);
    const auto ports = disk_ports::read();
    for (phydrive& drive : listing) {
      const auto port = ports.find(drive.path);
      if (port != ports.end()) drive.port = port->second;
      if (drive.loop) drive.backing_file = backing_file_of(drive.identifier);
    }
  } catch (const std::exception& e) {
    // A failed listing must not leave the previous drives behind.
    clear_lists();
    throw coded_error(reason::no_drive, std::string("failed to list drives: ") + e.what());
  }
  // Swapped in whole, after lsblk has answered: a lookup on another thread (the start
  // checks of a write while a validation refreshes) sees the old listing or the new
  // one, never empty lists in between.
  replace_lists(listing);
  if (!verbose) return;
  for (const phydrive& drive : listing) {
    std::cout << drive.get_info(25) << '\n' << std::flush;
  }
}

void physical_drives::mount(phydrive drive, bool mounting, int attempt) {
  std::string failure;
  try {
    if (!contains(drive)) throw std::runtime_error("required drive is unavailable");
    for (const partition& part : drive.partitions) drives_platform::mount(part, mounting);
    return;
  } catch (const std::exception& e) {
    failure = e.what();
  }
  // udisks may still be busy with a freshly plugged or just written drive.
  if (mount_retries > attempt) {
    thread_sleep::millisec(static_cast<std::uint32_t>(std::max(0, mount_retry_delay_ms)));
    mount(std::move(drive), mounting, attempt + 1);
    return;
  }
  throw std::runtime_error("mount attempt #" + std::to_string(attempt) + " failed:" + failure);
}

void physical_drives::unmount(std::string name) {
  update(false);
  mount(get_drive(std::move(name)), false, 0);
  update(false);
}
