#include "backup/staged_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "backup/output_place.h"
#include "support/coded_error.h"

namespace backup {

namespace {

[[noreturn]] void output_failure(const std::string& what, const std::string& path, int error) {
  throw coded_error(reason::output, what + " " + path + ": " + std::strerror(error), error);
}

std::string name_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Renames without replacing an existing file: renameat2 where the file system has it,
// else a hard link (which never replaces) and the old name removed.
int rename_keeping(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (::link(from.c_str(), to.c_str()) != 0) return -1;
  ::unlink(from.c_str());
  return 0;
}

const std::uint8_t zeros[64 << 10] = {};

std::string hidden_beside(const std::string& path, const char* kind, unsigned number) {
  return folder_of(path) + "/." + name_of(path) + "." + kind + "-" + std::to_string(number);
}

// A new file of a name no other has, in the folder of `path`; made as any new file of
// the user's, under the umask.
block_io::unique_fd create_beside(const std::string& path, std::string& staging_path) {
  std::random_device random;
  for (int attempt = 0;; ++attempt) {
    staging_path = hidden_beside(path, "partial", random());
    block_io::unique_fd fd(::open(staging_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.valid()) return fd;
    if (errno != EEXIST || attempt > 100) output_failure("failed to create a file beside", path, errno);
  }
}

}  // namespace

staged_file::staged_file(std::string path, bool overwrite)
    : path_(std::move(path)), overwrite_(overwrite), fd_(create_beside(path_, staging_path_)) {}

staged_file::~staged_file() {
  if (!committed_) ::unlink(staging_path_.c_str());
}

void staged_file::write(const std::uint8_t* bytes, std::size_t size) {
  sha256_.update(bytes, size);
  const block_io::write_result result = block_io::write_full_at(fd_.get(), bytes, size, size_);
  if (result.written != static_cast<std::int64_t>(size)) output_failure("failed to write", path_, result.error);
  size_ += size;
}

void staged_file::skip_zeros(std::uint64_t count) {
  for (std::uint64_t left = count; left > 0;) {
    const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof zeros));
    sha256_.update(zeros, step);
    left -= step;
  }
  size_ += count;
}

std::string staged_file::finish() {
  if (::ftruncate(fd_.get(), static_cast<off_t>(size_)) != 0) output_failure("failed to set the size of", path_, errno);
  if (::fsync(fd_.get()) != 0) output_failure("failed to write", path_, errno);
  return sha256_.hex_digest();
}

void staged_file::commit() {
  const int renamed = overwrite_ ? ::rename(staging_path_.c_str(), path_.c_str())
                                 : rename_keeping(staging_path_, path_);
  if (renamed != 0) output_failure("failed to put in place", path_, errno);
  committed_ = true;
}

void staged_file::withdraw() {
  if (committed_) ::unlink(path_.c_str());
  committed_ = false;
}

void staged_file::set_aside() {
  struct stat status {};
  if (!overwrite_ || ::lstat(path_.c_str(), &status) != 0) return;
  std::random_device random;
  for (int attempt = 0;; ++attempt) {
    const std::string aside = hidden_beside(path_, "old", random());
    if (rename_keeping(path_, aside) == 0) {
      aside_path_ = aside;
      return;
    }
    if (errno != EEXIST || attempt > 100) output_failure("failed to move aside the old", path_, errno);
  }
}

void staged_file::restore() {
  if (!aside_path_.empty()) ::rename(aside_path_.c_str(), path_.c_str());
  aside_path_.clear();
}

void staged_file::drop_aside() {
  if (!aside_path_.empty()) ::unlink(aside_path_.c_str());
  aside_path_.clear();
}

void commit_together(const std::vector<staged_file*>& files) {
  // The old files go aside first and come back on any failure: a half-replaced set would
  // leave neither the old backup nor the new one whole.
  std::size_t set_aside = 0;
  std::size_t committed = 0;
  try {
    for (; set_aside < files.size(); ++set_aside) files[set_aside]->set_aside();
    for (; committed < files.size(); ++committed) files[committed]->commit();
  } catch (...) {
    for (std::size_t i = 0; i < committed; ++i) files[i]->withdraw();
    for (std::size_t i = 0; i < set_aside; ++i) files[i]->restore();
    throw;
  }
  for (staged_file* file : files) file->drop_aside();
}

}  // namespace backup
