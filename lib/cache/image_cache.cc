#include "cache/image_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "trust/checksums_file.h"

namespace fs = std::filesystem;

namespace cache {

std::string default_folder() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && *xdg == '/') return std::string(xdg) + "/flasher";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.cache/flasher";
}

std::optional<entry> image_cache::read_entry(const std::string& sha256) const {
  struct stat status {};
  if (::stat(image_path(sha256).c_str(), &status) != 0) return std::nullopt;
  entry found;
  found.sha256 = sha256;
  found.path = image_path(sha256);
  found.size = static_cast<std::uint64_t>(status.st_size);
  found.last_used = status.st_mtim.tv_sec;
  std::ifstream record(record_path(sha256));
  const nlohmann::json fields = nlohmann::json::parse(record, nullptr, false);
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

void image_cache::mark_used(const entry& used) const { ::utimensat(AT_FDCWD, used.path.c_str(), nullptr, 0); }

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
  const std::string temporary = record_path(kept.sha256) + ".partial";
  std::ofstream(temporary) << fields.dump() << "\n";
  ::rename(temporary.c_str(), record_path(kept.sha256).c_str());
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
