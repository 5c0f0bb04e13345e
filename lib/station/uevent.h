#pragma once
// One kernel uevent as the kobject netlink socket delivers it: "ACTION@DEVPATH", a NUL,
// then KEY=VALUE strings each ended by a NUL (ACTION, DEVPATH, SUBSYSTEM, DEVNAME,
// DEVTYPE, MAJOR, MINOR, SEQNUM...). Messages that udev itself sends on its own group
// start with "libudev" and are not kernel events.
#include <cstddef>
#include <map>
#include <optional>
#include <string>

namespace station {

struct uevent {
  std::string action;   // add, remove, change, move, bind...
  std::string devpath;  // below /sys, such as /devices/virtual/block/loop3
  std::map<std::string, std::string> values;

  std::string value(const std::string& key) const;
  // A whole disk (not a partition) of the block subsystem.
  bool is_disk() const { return value("SUBSYSTEM") == "block" && value("DEVTYPE") == "disk"; }
  // "MAJOR:MINOR", as lsblk shows it.
  std::string devnum() const { return value("MAJOR") + ":" + value("MINOR"); }
};

// Reads one message; none when it is not a well-formed kernel uevent.
std::optional<uevent> parse_uevent(const char* bytes, std::size_t size);

}  // namespace station
