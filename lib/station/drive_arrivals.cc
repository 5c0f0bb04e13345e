#include "station/drive_arrivals.h"

#include <unistd.h>

#include "drives/drives.h"
#include "support/shell.h"

namespace station {

drive_arrivals::drive_arrivals(drive_rules rules) : rules_(std::move(rules)) {}

std::vector<arrival> drive_arrivals::present() { return describe(watch_.present()); }

std::optional<arrival> drive_arrivals::next(std::chrono::milliseconds timeout) {
  const std::optional<disk_change> change = watch_.next(timeout);
  if (!change) return std::nullopt;
  return describe({*change}).front();
}

std::vector<arrival> drive_arrivals::describe(const std::vector<disk_change>& changes) const {
  std::vector<arrival> described;
  for (const disk_change& change : changes) described.push_back({change, std::nullopt, {}});
  if (changes.empty() || changes.front().what == disk_change::kind::gone) return described;
  // The kernel tells first; where a udev daemon runs, the drive's port link and
  // properties come once it has handled the event.
  if (::access("/run/udev/control", F_OK) == 0) shell::run("udevadm settle --timeout=5 >/dev/null 2>&1");
  std::vector<phydrive> listed;
  std::string listing_failure;
  try {
    listed = physical_drives().drive_list;
  } catch (const std::exception& e) {
    listing_failure = e.what();
  }
  for (arrival& one : described) {
    for (const phydrive& drive : listed) {
      if (drive.path == "/dev/" + one.change.name) one.drive = drive;
    }
    if (!listing_failure.empty()) {
      one.refused = listing_failure;
    } else if (!one.drive) {
      one.refused = "not in the drive listing";
    } else {
      one.refused = mismatch(*one.drive, rules_);
    }
  }
  return described;
}

}  // namespace station
