#include "backup/partition_extent.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "backup/blkid_library.h"
#include "support/coded_error.h"

namespace backup {

namespace {

struct probe_release {
  void operator()(blkid_struct_probe* probe) const { blkid_library::get().free_probe(probe); }
};

// libblkid counts partition starts and sizes in 512-byte sectors whatever the drive's.
constexpr std::uint64_t blkid_sector = 512;

}  // namespace

std::optional<std::uint64_t> partitions_end(const std::string& path) {
  const blkid_library& blkid = blkid_library::get();
  errno = 0;
  std::unique_ptr<blkid_struct_probe, probe_release> probe(blkid.new_probe_from_filename(path.c_str()));
  if (!probe) {
    const int error = errno;
    throw coded_error(reason::read, "failed to read the partition table of " + path + ": " + std::strerror(error), error);
  }
  blkid.probe_enable_superblocks(probe.get(), 0);
  blkid.probe_enable_partitions(probe.get(), 1);
  // Null where the drive holds no partition table (a file system on the whole drive).
  blkid_partlist partitions = blkid.probe_get_partitions(probe.get());
  const int count = partitions ? blkid.partlist_numof_partitions(partitions) : 0;
  std::optional<std::uint64_t> end;
  for (int i = 0; i < count; ++i) {
    blkid_partition partition = blkid.partlist_get_partition(partitions, i);
    const auto start = static_cast<std::uint64_t>(blkid.partition_get_start(partition));
    const auto size = static_cast<std::uint64_t>(blkid.partition_get_size(partition));
    end = std::max(end.value_or(0), (start + size) * blkid_sector);
  }
  return end;
}

std::uint64_t extent_of(const std::string& path, std::uint64_t drive_size, extent_kind kind) {
  if (kind == extent_kind::whole) return drive_size;
  const std::optional<std::uint64_t> end = partitions_end(path);
  // A table that claims more than the drive holds is read up to the drive's end.
  return end ? std::min(*end, drive_size) : drive_size;
}

}  // namespace backup
