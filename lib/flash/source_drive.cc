#include "flash/source_drive.h"

#include <optional>

#include "backup/partition_extent.h"
#include "drives/drives.h"
#include "support/privileges.h"

namespace {

void throw_first_error(statistics_record& record) {
  std::optional<coded_error> first;
  record.update_report([&](job_report& r) {
    if (!r.errors.empty()) first = coded_error(r.errors.front().why, r.errors.front().message, r.errors.front().code);
  });
  if (first) throw *first;
}

}  // namespace

image::image_info source_image_info(const phydrive& drive) {
  std::optional<std::uint64_t> extent;
  try {
    extent = backup::extent_of(drive.path, drive.disk_size, backup::extent_kind::partitions);
  } catch (const std::exception&) {
    // Not readable by this process yet: the write opens it to the process and reads it.
  }
  return image::image_info{image::format::raw, extent.value_or(drive.disk_size), extent};
}

source_drive_session::source_drive_session(const source_drive& source) {
  physical_drives model;
  if (!model.contains(source.drive)) {
    throw coded_error(reason::no_drive, "the source drive " + source.drive.path + " is not available");
  }
  const phydrive listed = model.get_drive(source.drive.identifier);
  try {
    if (!privileges::is_root()) {
      access_ = std::make_unique<node_access>(listed.path, "r", source.password, access_record_);
      throw_first_error(access_record_);
    }
    try {
      model.mount(listed, false, 0);
    } catch (const std::exception& e) {
      // A file system still mounted may change while it is read: it is not read.
      throw coded_error(reason::read, std::string("failed to unmount the source drive: ") + e.what());
    }
    block_io::unique_fd fd = backup::open_drive(listed.path);
    extent_ = backup::extent_of(listed.path, listed.disk_size, backup::extent_kind::partitions);
    reader_ = std::make_unique<backup::drive_reader>(std::move(fd), extent_);
  } catch (...) {
    if (access_) access_->restore();
    throw;
  }
}

source_drive_session::~source_drive_session() {
  reader_.reset();  // closes the drive before its access goes
  if (access_) access_->restore();
}
