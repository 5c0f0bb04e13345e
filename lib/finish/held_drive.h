#pragma once
// The whole drive opened exclusively (O_EXCL) for the finishing steps, from the unmount
// before them to the end of the last step that writes. While it is held the kernel
// refuses to mount the drive or any of its partitions, so no file system is live under
// what the steps write; the steps write through this one descriptor, since a second
// exclusive open would be refused. It is released before the eject: udisks' power-off
// opens the drive exclusively too.
#include <optional>
#include <string>

#include "support/coded_error.h"

class held_drive {
 public:
  // Holds nothing: the steps asked for do not write.
  held_drive() = default;
  // Opens `path` for reading and writing, exclusively. A refusal is kept, not thrown:
  // the steps that write fail with it, EBUSY naming the mounted partition and its
  // mount point where one is the cause.
  explicit held_drive(const std::string& path);
  ~held_drive();
  held_drive(const held_drive&) = delete;
  held_drive& operator=(const held_drive&) = delete;

  // The held descriptor; throws the kept refusal, or EWRITE once released.
  int fd() const;
  const std::string& path() const { return path_; }
  void release();

 private:
  std::string path_;
  int fd_ = -1;
  std::optional<coded_error> refused_;
};

// "partition /dev/sdb2 is mounted at /media/boot" for the first mounted partition (or
// the drive itself) of the block device at `disk`; "" when the kernel lists none.
std::string mounted_part_of(const std::string& disk);
