#pragma once
// The whole disks that appear and go while a station runs, told by their kernel
// events. A disk is known by its sysfs path and device number, never by its serial
// number: two identical sticks are two disks, and a stick plugged in again appears
// again. It appears when its size goes from 0 to N: an "add" of a new stick, or a
// "change" when a card goes into a reader (or a loop device gets its file); it goes
// when its size drops to 0 or it is removed.
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "station/uevent.h"
#include "station/uevent_monitor.h"

namespace station {

struct disk_change {
  enum class kind { appeared, gone };
  kind what = kind::appeared;
  std::string sysfs;   // such as /sys/devices/virtual/block/loop3
  std::string devnum;  // MAJOR:MINOR
  std::string name;    // the kernel's name, such as sdb
  std::uint64_t size = 0;  // bytes; 0 once gone
};

// What each disk event means, from the sizes the disks had before it.
class disk_sizes {
 public:
  // A disk there before the first event, with its size then.
  void known(const std::string& devpath, std::uint64_t size) { sizes_[devpath] = size; }
  // The change `event` brings, given the size the disk has after it; none for an
  // event of anything but a whole disk, or one that leaves a disk as it was.
  std::optional<disk_change::kind> after(const uevent& event, std::uint64_t size_now);
  // The disks known with a size.
  std::vector<std::string> sized() const;

 private:
  std::map<std::string, std::uint64_t> sizes_;  // by devpath
};

class disk_watch {
 public:
  // Starts listening, then reads the disks there now. `sysfs_root` is /sys.
  explicit disk_watch(std::string sysfs_root = "/sys");

  // The disks with a medium when the watch started.
  const std::vector<disk_change>& present() const { return present_; }
  // Waits up to `timeout` for the next disk that appears or goes.
  std::optional<disk_change> next(std::chrono::milliseconds timeout);

 private:
  struct disk_state {
    std::string devpath, name, devnum;
    std::uint64_t size = 0;
  };
  std::vector<disk_state> scan() const;
  std::uint64_t size_of(const std::string& devpath) const;
  disk_change change_of(disk_change::kind what, const std::string& devpath, const std::string& name,
                        const std::string& devnum, std::uint64_t size) const;
  // After lost events: what differs between the disks there now and those known.
  void look_again();

  std::string root_;
  uevent_monitor monitor_;  // listening before the scan, so no disk falls in between
  disk_sizes sizes_;
  std::map<std::string, disk_state> names_;  // by devpath: to tell what went after lost events
  std::vector<disk_change> present_;
  std::deque<disk_change> pending_;
};

}  // namespace station
