#include "cache/image_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "device/block_io.h"
#include "support/coded_error.h"
#include "trust/checksums_file.h"

namespace fs = std::filesystem;

namespace cache {

namespace {

// The record's text; none where it is not a regular file of the cache.
std::string read_record(const std::string& path) {
  block_io::unique_fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  std::string text;
  char chunk[4096];
  ssize_t n = 0;
  while (fd.valid() && (n = ::read(fd.get(), chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(n));
  return text;
}

}  // namespace

std::string default_folder() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && *xdg == '/') return std::string(xdg) + "/flasher";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.cache/flasher";
}

void image_cache::require_own_folder() const {
  std::error_code error;
  fs::create_directories(fs::path(folder_).parent_path(), error);
  ::mkdir(folder_.c_str(), 0700);
  // A folder of another user (HOME kept through sudo -E) is theirs to fill with links
  // that root would follow.
  const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat status {};
  const bool examined = fd >= 0 && ::fstat(fd, &status) == 0;
  if (fd >= 0) ::close(fd);
  if (!examined) throw coded_error(reason::image, "the cache folder " + folder_ + " cannot be opened", errno);
  if (status.st_uid != ::geteuid()) {
    throw coded_error(reason::image, "the cache folder " + folder_ + " belongs to user " + std::to_string(status.st_uid) +
                                         ", not to this process's user " + std::to_string(::geteuid()) +
                                         ": set XDG_CACHE_HOME to a folder of its own or leave the cache off");
  }
}

std::optional<entry> image_cache::read_entry(const std::string& sha256) const {
  struct stat status {};
  // Only a file of the cache's own making counts: a link planted under the name does not.
  if (::lstat(image_path(sha256).c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  entry found;
  found.sha256 = sha256;
  found.path = image_path(sha256);
  found.size = static_cast<std::uint64_t>(status.st_size);
  found.last_used = status.st_mtim.tv_sec;
  const nlohmann::json fields = nlohmann::json::parse(read_record(record_path(sha256)), nullptr, false);
  if (fields.is_object()) {
    found.url = fields.value("url", "");
    found.etag = fields.value("etag", "");
    found.last_modified = fields.value("lastModified", "");
  }
  return found;
}

std::optional<entry> image_cache::find_sha256(const std::string& sha256) const { return read_entry(sha256); }

std::optional<entry> image_cache::find_url(const std::string& url) const {
  for (const entry& e : entries()) {
    if (e.url == url) return e;
  }
  return std::nullopt;
}

void image_cache::mark_used(const entry& used) const {
  ::utimensat(AT_FDCWD, used.path.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
}

void image_cache::remove(const std::string& sha256) const {
  ::unlink(image_path(sha256).c_str());
  ::unlink(record_path(sha256).c_str());
}

std::vector<entry> image_cache::entries() const {
  std::vector<entry> found;
  std::error_code error;
  for (const auto& file : fs::directory_iterator(folder_, error)) {
    const std::string name = file.path().filename().string();
    if (name.size() != 68 || name.substr(64) != ".img" || !trust::is_sha256_hex(name.substr(0, 64))) continue;
    if (auto e = read_entry(name.substr(0, 64))) found.push_back(*e);
  }
  std::sort(found.begin(), found.end(), [](const entry& a, const entry& b) { return a.last_used > b.last_used; });
  return found;
}

std::size_t image_cache::clear() const {
  const std::vector<entry> all = entries();
  for (const entry& e : all) remove(e.sha256);
  std::error_code error;
  for (const auto& file : fs::directory_iterator(folder_, error)) {
    if (file.path().filename().string().rfind("partial-", 0) == 0) fs::remove(file.path(), error);
  }
  return all.size();
}

void image_cache::write_record(const entry& kept) const {
  const nlohmann::json fields = {
      {"url", kept.url}, {"etag", kept.etag}, {"lastModified", kept.last_modified}, {"size", kept.size}};
  // A new file of a name no other has (mkostemp: O_EXCL, mode 0600, so never through a
  // link), for the URL may carry a token.
  std::string temporary = folder_ + "/partial-XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return;
  const std::string text = fields.dump() + "\n";
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (::close(fd) == 0 && written && ::rename(temporary.c_str(), record_path(kept.sha256).c_str()) == 0) return;
  ::unlink(temporary.c_str());
}

void image_cache::make_room(const std::string& newest) const {
  std::vector<entry> all = entries();
  std::uint64_t total = 0;
  for (const entry& e : all) total += e.size;
  for (auto e = all.rbegin(); e != all.rend() && total > limit_; ++e) {
    if (e->sha256 == newest) continue;
    remove(e->sha256);
    total -= e->size;
  }
}

std::unique_ptr<image_cache::filling> image_cache::start_filling() const {
  std::error_code error;
  fs::create_directories(folder_, error);
  std::string pattern = folder_ + "/partial-XXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<filling>(*this, fd, pattern);
}

image_cache::filling::~filling() {
  if (fd_ >= 0) ::close(fd_);
  if (!partial_path_.empty()) ::unlink(partial_path_.c_str());
}

void image_cache::filling::observe(const std::uint8_t* bytes, std::size_t size) {
  size_ += size;
  // Past the limit the file would not be kept: no need to write it.
  broken_ = broken_ || size_ > cache_.limit_;
  while (!broken_ && size > 0) {
    const ssize_t n = ::write(fd_, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      broken_ = true;  // a full disk: the download goes on without the cache
      break;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
}

void image_cache::filling::keep(entry kept) {
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (broken_ || !closed) return;
  kept.size = size_;
  kept.path = cache_.image_path(kept.sha256);
  if (::rename(partial_path_.c_str(), kept.path.c_str()) != 0) return;
  partial_path_.clear();
  cache_.write_record(kept);
  cache_.make_room(kept.sha256);
}

}  // namespace cache
