#pragma once
// The drives a station sees: each disk that appears, with the drive listing's record
// of it and whether the rules let the station write it, and each disk that goes.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "drives/phydrive.h"
#include "station/disk_watch.h"
#include "station/drive_match.h"

namespace station {

struct arrival {
  disk_change change;
  std::optional<phydrive> drive;  // the listing's record of a disk that appeared
  std::string refused;            // why the station leaves it alone; empty when it writes it
};

class drive_arrivals {
 public:
  // Starts listening (throws coded_error ENODRIVE where the kernel's events cannot be read).
  explicit drive_arrivals(drive_rules rules);

  // The drives there when the watch started, each with its record.
  std::vector<arrival> present();
  // Waits up to `timeout` for the next disk that appears or goes.
  std::optional<arrival> next(std::chrono::milliseconds timeout);

 private:
  // One drive listing (lsblk) for the disks that appeared, once udev is done with them.
  std::vector<arrival> describe(const std::vector<disk_change>& changes) const;

  disk_watch watch_;
  drive_rules rules_;
};

}  // namespace station
