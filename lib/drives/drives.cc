#include "drives/drives.h"

#include <algorithm>
#include <utility>

#include "support/coded_error.h"

void drives::update(bool) {}

namespace {

bool names_drive(const phydrive& drive, const std::string& key) {
  return drive.identifier == key || drive.path == key || drive.rawpath == key;
}

bool names_partition(const phydrive& drive, const std::string& key) {
  return std::any_of(drive.partitions.begin(), drive.partitions.end(), [&](const partition& part) {
    return part.name == key || part.path == key || part.rawpath == key;
  });
}

bool within_path(const phydrive& drive, const std::string& key) {
  return drive.path.find(key) != std::string::npos || drive.rawpath.find(key) != std::string::npos;
}

}  // namespace

phydrive drives::get_drive(std::string key) const {
  std::lock_guard<std::mutex> lock(lists_mutex);
  // Most exact first, so "/dev/sdb" never picks "/dev/sdbc" while sdb is listed. A key
  // that names several drives in the first kind of match it meets names none: a guess
  // could write onto the wrong drive.
  for (auto matches : {names_drive, names_partition, within_path}) {
    const auto count = std::count_if(drive_list.begin(), drive_list.end(),
                                     [&](const phydrive& drive) { return matches(drive, key); });
    if (count > 1) break;
    if (count == 1) {
      return *std::find_if(drive_list.begin(), drive_list.end(),
                           [&](const phydrive& drive) { return matches(drive, key); });
    }
  }
  return phydrive{};
}

phydrive drives::find_named(const std::string& key) const {
  std::lock_guard<std::mutex> lock(lists_mutex);
  for (const phydrive& drive : drive_list) {
    if (names_drive(drive, key)) return drive;
  }
  for (const phydrive& drive : drive_list) {
    if (names_partition(drive, key)) {
      throw coded_error(reason::no_drive,
                        key + " is a partition of " + drive.identifier + ": give the whole drive (" + drive.path + ")");
    }
  }
  throw coded_error(reason::no_drive, "required drive " + key + " is not available");
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
