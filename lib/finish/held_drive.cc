#include "finish/held_drive.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "device/block_io.h"
#include "drives/kernel_unmount.h"

namespace {

// The kernel's name of the block device `major:minor` ("sdb", "sdb2"), and of the disk
// it is a partition of ("sdb"; itself for a whole disk), from its place in sysfs.
struct sysfs_names {
  std::string own;
  std::string disk;
};

std::optional<sysfs_names> names_of(const std::string& number) {
  char resolved[PATH_MAX];
  if (::realpath(("/sys/dev/block/" + number).c_str(), resolved) == nullptr) return std::nullopt;
  const std::string place = resolved;
  const std::size_t slash = place.rfind('/');
  sysfs_names names{place.substr(slash + 1), place.substr(slash + 1)};
  if (::access((place + "/partition").c_str(), F_OK) == 0) {
    const std::string parent = place.substr(0, slash);
    names.disk = parent.substr(parent.rfind('/') + 1);
  }
  return names;
}

}  // namespace

std::string mounted_part_of(const std::string& disk) {
  struct stat status {};
  if (::stat(disk.c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) return {};
  const auto drive = names_of(std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev)));
  if (!drive) return {};
  for (const kernel_unmount::mount_entry& entry : kernel_unmount::mounts()) {
    const auto mounted = names_of(entry.device_number);
    if (mounted && mounted->disk == drive->own) return "partition /dev/" + mounted->own + " is mounted at " + entry.point;
  }
  return {};
}

held_drive::held_drive(const std::string& path) : path_(path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
  if (fd_ >= 0) return;
  const int error = errno;
  const std::string mounted = error == EBUSY ? mounted_part_of(path) : std::string();
  if (!mounted.empty()) {
    refused_ = coded_error(reason::busy, "cannot write onto " + path + ": " + mounted, error);
  } else if (error == EBUSY) {
    refused_ = coded_error(reason::busy, "cannot write onto " + path + ": another program holds it", error);
  } else {
    refused_ = coded_error(reason::write, "failed to open device: " + block_io::last_error_text(), error);
  }
}

held_drive::~held_drive() { release(); }

int held_drive::fd() const {
  if (refused_) throw *refused_;
  if (fd_ < 0) throw coded_error(reason::write, "the drive is no longer held for the steps");
  return fd_;
}

void held_drive::release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}
