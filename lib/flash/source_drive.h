#pragma once
// A drive read as the image of a write: a clone. When the write opens its image, the
// source is looked up again, opened to the caller where the process is not root,
// unmounted, and read up to the end of its last partition (the whole drive where it
// has none); the access is put back when the image closes.
#include <cstdint>
#include <memory>
#include <string>

#include "backup/drive_reader.h"
#include "drives/phydrive.h"
#include "flash/node_access.h"
#include "flash/statistics_record.h"

struct source_drive {
  phydrive drive;
  std::string password;
};

// What `drive` gives as an image: raw, its extent as the size where the drive can be
// read now (none otherwise: the write learns it when it opens the drive).
image::image_info source_image_info(const phydrive& drive);

class source_drive_session {
 public:
  // Throws coded_error: ENODRIVE (the drive is no longer listed), EPASSWORD (no access
  // to it), EREAD (it cannot be unmounted or opened).
  explicit source_drive_session(const source_drive& source);
  ~source_drive_session();
  source_drive_session(const source_drive_session&) = delete;
  source_drive_session& operator=(const source_drive_session&) = delete;

  // The drive's bytes up to its extent; given once.
  std::unique_ptr<image::image_source> take_reader() { return std::move(reader_); }
  std::uint64_t extent() const { return extent_; }

 private:
  statistics_record access_record_;  // what the grant and the restore of access recorded
  std::unique_ptr<node_access> access_;
  std::uint64_t extent_ = 0;
  std::unique_ptr<backup::drive_reader> reader_;
};
