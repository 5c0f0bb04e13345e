#pragma once
// Value records of one physical disk and one of its partitions, as lsblk lists them.
#include <cstdint>
#include <string>
#include <vector>

struct partition {
  std::string name = "undefined";
  std::string path = "undefined";
  std::string rawpath = "undefined";
  std::uint64_t size = 0;
  std::string fstype = "undefined";
  std::string label = "undefined";
  std::string partlabel = "undefined";
  std::string ptuuid = "undefined";
  std::string mountpoint = "undefined";  // empty when not mounted
};

struct phydrive {
  std::string identifier = "undefined";
  std::string path = "undefined";
  std::string rawpath = "undefined";
  std::string name = "undefined";  // vendor and model joined
  std::string vendor;
  std::string model;
  std::string uuid = "undefined";
  std::string serial;  // as the drive reports it; identical sticks may share one
  std::string port;    // its name in /dev/disk/by-path (where it is plugged in); empty where udev gave none
  std::uint64_t disk_size = 0;
  std::uint64_t block_size = 0;
  std::uint64_t number_of_blocks = 0;
  std::vector<partition> partitions;
  bool internal = false;
  bool removable = false;
  bool sd_card = false;
  bool defined = false;
  bool corrupt = false;
  // A loop device, listed only where a job allows them (a file standing in for a drive).
  bool loop = false;
  std::string backing_file;  // a loop device's file, as the kernel names it

  // An aligned, several-line description; labels and values padded to `width`.
  std::string get_info(int width) const;

  // External or removable: the kind of drive a job may target (write_rules::may_target).
  bool is_external_or_removable() const { return removable || !internal; }
};

// Mount state is left out, so a partition stays equal across a mount or unmount.
bool operator==(const partition& a, const partition& b);
// Partition table and partitions are left out: a repartitioned drive stays equal.
bool operator==(const phydrive& a, const phydrive& b);
bool operator!=(const partition& a, const partition& b);
bool operator!=(const phydrive& a, const phydrive& b);
