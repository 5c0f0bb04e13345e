#pragma once
// libblkid of util-linux, loaded when first needed rather than linked: Debian ships no
// archive of it that can go into a shared object, and every machine the addon works
// on has the library, since lsblk (which the drive listing needs) is linked with it.
// The prebuilt addons so need no library they did not need before.
#include <blkid.h>

namespace backup {

struct blkid_library {
  decltype(&::blkid_new_probe_from_filename) new_probe_from_filename;
  decltype(&::blkid_free_probe) free_probe;
  decltype(&::blkid_probe_enable_superblocks) probe_enable_superblocks;
  decltype(&::blkid_probe_enable_partitions) probe_enable_partitions;
  decltype(&::blkid_probe_get_partitions) probe_get_partitions;
  decltype(&::blkid_partlist_numof_partitions) partlist_numof_partitions;
  decltype(&::blkid_partlist_get_partition) partlist_get_partition;
  decltype(&::blkid_partition_get_start) partition_get_start;
  decltype(&::blkid_partition_get_size) partition_get_size;

  // The library, loaded once for the process. Throws coded_error (EREAD) where
  // libblkid.so.1 cannot be loaded.
  static const blkid_library& get();
};

}  // namespace backup
