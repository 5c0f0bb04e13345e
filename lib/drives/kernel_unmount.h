#pragma once
// Unmounting without udisks, for a process that runs as root on a machine where the
// udisks daemon is not running: umount2 of every mount the kernel lists for a block
// device. Mounts are found by the device's number, never by a path a listing gave, so
// nothing but that device is ever unmounted.
#include <string>
#include <vector>

namespace kernel_unmount {

struct mount_entry {
  std::string device_number;  // "major:minor"
  std::string point;
};

// What the kernel has mounted, in the order it lists the mounts.
std::vector<mount_entry> mounts();

// Unmounts every mount of the block device at `node`; returns "" when none is left,
// else why not ("no block device at NODE", or "MOUNTPOINT: <the system's reason>").
std::string unmount_device(const std::string& node);

}  // namespace kernel_unmount
