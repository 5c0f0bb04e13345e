#include "flash/write_record.h"

#include <sys/stat.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

file_identity identity_of(const std::string& path) {
  struct stat status {};
  if (path.empty() || ::stat(path.c_str(), &status) != 0) return {};
  return {status.st_dev, status.st_ino, static_cast<std::uint64_t>(status.st_size),
          static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

}  // namespace

write_fingerprint write_fingerprint::take(const std::string& image_path, const std::string& block_map_path,
                                          const phydrive& drive, std::uint64_t write_block_size) {
  return {image_path,      identity_of(image_path), block_map_path, identity_of(block_map_path),
          drive.path,      drive.disk_size,         write_block_size};
}

bool write_fingerprint::operator==(const write_fingerprint& other) const {
  return image_path == other.image_path && image == other.image && block_map_path == other.block_map_path &&
         block_map == other.block_map && drive_path == other.drive_path && drive_size == other.drive_size &&
         write_block_size == other.write_block_size;
}

hash128 hash_bytes(const std::uint8_t* bytes, std::size_t size) {
  const XXH128_hash_t h = XXH3_128bits(bytes, size);
  return {h.low64, h.high64};
}
