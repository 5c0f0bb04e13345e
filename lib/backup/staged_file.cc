#include "backup/staged_file.h"

#include <fcntl.h>
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

// A new file of a name no other has, in the folder of `path`; made as any new file of
// the user's, under the umask.
block_io::unique_fd create_beside(const std::string& path, std::string& staging_path) {
  std::random_device random;
  for (int attempt = 0;; ++attempt) {
    staging_path = folder_of(path) + "/." + name_of(path) + ".partial-" + std::to_string(random());
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
}

void commit_together(const std::vector<staged_file*>& files) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    try {
      files[i]->commit();
    } catch (...) {
      for (std::size_t j = 0; j < i; ++j) files[j]->withdraw();
      throw;
    }
  }
}

}  // namespace backup
