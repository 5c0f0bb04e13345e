#pragma once
// A file a backup makes: written under a temporary name in the folder of its final
// path, counted and hashed (SHA-256) as it goes, and renamed into place only when the
// whole backup succeeded. Until then an existing file of that name stays as it was; a
// backup that fails or is cancelled leaves nothing behind. Every failure is a
// coded_error (EOUTPUT) with its errno.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/block_io.h"
#include "image/range_checksum.h"

namespace backup {

class staged_file {
 public:
  // Creates the temporary file beside `path`.
  staged_file(std::string path, bool overwrite);
  // Removes the temporary file unless it was committed.
  ~staged_file();
  staged_file(const staged_file&) = delete;
  staged_file& operator=(const staged_file&) = delete;

  void write(const std::uint8_t* bytes, std::size_t size);
  // `count` zeros, left as a hole of the file: nothing is written, the hash takes them.
  void skip_zeros(std::uint64_t count);
  // Sets the file's size (a trailing hole), puts it on the medium and returns the
  // SHA-256 of its bytes in lower-case hex.
  std::string finish();
  // Renames the file into place; refused where a file of that name appeared and
  // overwriting was not asked for.
  void commit();
  // Removes the committed file again: a later step of the backup failed.
  void withdraw();
  // With overwriting, moves a file already at the path to a hidden name beside it,
  // until restore() puts it back or drop_aside() removes it.
  void set_aside();
  void restore();
  void drop_aside();

  const std::string& path() const { return path_; }
  std::uint64_t size() const { return size_; }

 private:
  std::string path_;
  std::string staging_path_;
  bool overwrite_;
  block_io::unique_fd fd_;
  std::uint64_t size_ = 0;
  image::range_checksum sha256_{"sha256"};
  bool committed_ = false;
  std::string aside_path_;
};

// Commits every file of `files`, or none: where one fails, the files committed are
// withdrawn, those they replaced are put back as they were, and it throws.
void commit_together(const std::vector<staged_file*>& files);

}  // namespace backup
