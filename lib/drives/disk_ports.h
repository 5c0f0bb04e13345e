#pragma once
// Where each disk is plugged in: the names udev gives whole disks in /dev/disk/by-path
// (such as pci-0000:00:14.0-usb-0:2:1.0-scsi-0:0:0:0), which stay the same for a port
// whatever drive is plugged into it.
#include <map>
#include <string>

namespace disk_ports {

// Device node (such as /dev/sdb) to its by-path name, for every whole disk that
// `by_path_dir` links to; empty where the folder is missing (no udev).
std::map<std::string, std::string> read(const std::string& by_path_dir = "/dev/disk/by-path");

}  // namespace disk_ports
