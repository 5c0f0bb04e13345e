#include "drives/drives.h"

#include <utility>

void drives::update(bool) {}

phydrive drives::get_drive(std::string key) const {
  std::lock_guard<std::mutex> lock(lists_mutex);
  phydrive found;
  for (const phydrive& drive : drive_list) {
    if (drive.identifier == key || drive.path.find(key) != std::string::npos ||
        drive.rawpath.find(key) != std::string::npos) {
      return drive;
    }
    // A match through a partition may still be overridden by a later drive.
    for (const partition& part : drive.partitions) {
      if (part.name == key || part.path == key || part.rawpath == key) {
        found = drive;
        break;
      }
    }
  }
  return found;
}

bool drives::contains(const phydrive& drive) const {
  std::lock_guard<std::mutex> lock(lists_mutex);
  for (const phydrive& listed : drive_list) {
    if (listed == drive) return true;
  }
  return false;
}

void drives::replace_lists(std::vector<phydrive> listing) {
  std::vector<phydrive> external;
  std::vector<phydrive> internal;
  for (const phydrive& drive : listing) {
    (drive.is_external_or_removable() ? external : internal).push_back(drive);
  }
  std::lock_guard<std::mutex> lock(lists_mutex);
  drive_list = std::move(listing);
  external_drives = std::move(external);
  internal_drives = std::move(internal);
}

void drives::clear_lists() {
  std::lock_guard<std::mutex> lock(lists_mutex);
  drive_list.clear();
  external_drives.clear();
  internal_drives.clear();
}
