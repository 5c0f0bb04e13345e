#include "image/image_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "device/block_io.h"
#include "image/decoders.h"
#include "image/recorded_size.h"
#include "image/zip_directory.h"

namespace image {

namespace {

bool starts_with(const std::vector<std::uint8_t>& head, const char* magic, std::size_t magic_size) {
  return head.size() >= magic_size && std::memcmp(head.data(), magic, magic_size) == 0;
}

}  // namespace

format detect(const std::vector<std::uint8_t>& head) {
  if (starts_with(head, "\x1f\x8b", 2)) return format::gzip;
  if (starts_with(head, "\xfd" "7zXZ\0", 6)) return format::xz;
  if (starts_with(head, "\x28\xb5\x2f\xfd", 4)) return format::zstd;
  if (starts_with(head, "BZh", 3) && head.size() >= 4 && head[3] >= '1' && head[3] <= '9') return format::bzip2;
  if (starts_with(head, "PK\x03\x04", 4)) return format::zip;
  return format::raw;
}

const char* format_name(format f) {
  switch (f) {
    case format::gzip: return "gzip";
    case format::xz: return "xz";
    case format::zstd: return "zstd";
    case format::bzip2: return "bzip2";
    case format::zip: return "zip";
    case format::raw: break;
  }
  return "raw";
}

std::uint64_t image_source::skip(std::uint64_t count) {
  std::vector<std::uint8_t> scratch(std::min<std::uint64_t>(count, 1 << 20));
  std::uint64_t skipped = 0;
  while (skipped < count) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(scratch.size(), count - skipped));
    const std::size_t got = read(scratch.data(), want);
    skipped += got;
    if (got < want) break;
  }
  return skipped;
}

std::optional<std::uint64_t> recorded_size(format f, random_access& file) {
  switch (f) {
    case format::xz: return xz_recorded_size(file);
    case format::zip:
      try {
        return find_image_member(file).size;
      } catch (const corrupt_data&) {
        return std::nullopt;  // a damaged archive is refused by the job that reads it, with the reason
      }
    default: return std::nullopt;
  }
}

image_info inspect(const std::string& path, int open_flags) {
  // Looked at before it is opened: opening a FIFO waits for a writer.
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    throw coded_error(reason::image, "failed to determine size of " + path + " : image file may not exist", errno);
  }
  if (S_ISDIR(status.st_mode)) throw coded_error(reason::image, path + " is a directory, not an image file");
  if (S_ISBLK(status.st_mode) || S_ISCHR(status.st_mode)) {
    throw coded_error(reason::image, path + " is a device, not an image file");
  }
  if (status.st_size == 0) {
    throw coded_error(reason::image, "failed to determine size of " + path + " : image appears to have file size zero");
  }
  block_io::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | open_flags));
  if (!fd.valid()) {
    throw coded_error(reason::image, "failed to open image file " + path + ": " + block_io::last_error_text(), errno);
  }
  image_info info;
  info.file_size = static_cast<std::uint64_t>(status.st_size);
  std::vector<std::uint8_t> head(8);
  const ssize_t got = ::pread(fd.get(), head.data(), head.size(), 0);
  head.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  info.format = detect(head);
  switch (info.format) {
    case format::raw: info.size = info.file_size; break;
    case format::zstd: info.size = zstd_recorded_size(*open_file_access(path, open_flags)); break;
    case format::gzip:
    case format::bzip2: break;  // neither records the decoded size
    case format::xz:
    case format::zip: info.size = recorded_size(info.format, *open_file_access(path, open_flags)); break;
  }
  return info;
}

std::unique_ptr<image_source> open(byte_source& stored, const image_info& info, random_access& file) {
  switch (info.format) {
    case format::gzip: return open_gzip(stored);
    case format::xz: return open_xz(stored);
    case format::zstd: return open_zstd(stored);
    case format::bzip2: return open_bzip2(stored);
    case format::zip: return open_zip(stored, file);
    case format::raw: break;
  }
  return open_raw(stored);
}

}  // namespace image
