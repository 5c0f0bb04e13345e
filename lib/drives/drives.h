#pragma once
// The drive model: the machine's disks as lsblk lists them, lookup by name, and
// unmounting through udisksctl.
//
// Threads: the lists are refreshed by job threads (around an unmount) while the
// JavaScript thread may look a drive up. `lists_mutex` guards the three lists; every
// member function takes it itself. Read the list fields directly only where no
// other thread can work on the same model (construction, single-threaded tests).
#include <mutex>
#include <string>
#include <vector>

#include "drives/phydrive.h"

class drives {
 public:
  std::vector<phydrive> drive_list;       // every disk of the last listing
  std::vector<phydrive> internal_drives;  // internal and not removable
  std::vector<phydrive> external_drives;  // removable or hot-pluggable
  bool include_loops = false;             // the listing also holds attached loop devices

  virtual void update(bool verbose);

  // The drive that `key` names: its identifier or path; else the name or path of one
  // of its partitions; else a part of its path. A key that names several drives at the
  // first of these that it meets, or none at all, gives a default record.
  phydrive get_drive(std::string key) const;

  // The drive that `key` names exactly, by its kernel name or device path: the lookup of
  // an application that lets its user type a name. Throws a coded_error (ENODRIVE)
  // "KEY is a partition of NAME: give the whole drive (PATH)" or "required drive KEY is
  // not available".
  phydrive find_named(const std::string& key) const;

  // Whether a record equal to `drive` is in drive_list.
  bool contains(const phydrive& drive) const;

 protected:
  // Replaces the three lists with the disks of `listing`.
  void replace_lists(std::vector<phydrive> listing);
  void clear_lists();

  mutable std::mutex lists_mutex;
};

class drives_platform : public drives {
 public:
  // Checks that lsblk of util-linux 2.34 or newer is installed.
  drives_platform();

  // Mounts (true) or unmounts (false) one partition of drive_list through udisksctl.
  void mount(partition part, bool mount);
};

class physical_drives : public drives_platform {
 public:
  int mount_retries = 3;             // further attempts after a failed one
  int mount_retry_delay_ms = 2000;   // pause before each further attempt

  explicit physical_drives(bool include_loops = false);

  void update(bool verbose) override;

  // Mounts or unmounts every partition of `drive`, retrying the whole drive.
  void mount(phydrive drive, bool mount, int attempt);
  using drives_platform::mount;

  // Refreshes the lists, unmounts every partition of the drive `name` and refreshes again.
  void unmount(std::string name);
};
