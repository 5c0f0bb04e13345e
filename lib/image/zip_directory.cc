#include "image/zip_directory.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "image/image_source.h"

namespace image {

namespace {

constexpr std::uint32_t end_of_directory_signature = 0x06054b50;
constexpr std::uint32_t zip64_locator_signature = 0x07064b50;
constexpr std::uint32_t zip64_end_signature = 0x06064b50;
constexpr std::uint32_t directory_entry_signature = 0x02014b50;
constexpr std::uint32_t local_header_signature = 0x04034b50;
constexpr std::uint16_t zip64_extra_id = 0x0001;
// An image archive holds a few entries; the size is the archive's (for a URL, the
// server's) word, and the directory is read whole into memory.
constexpr std::uint64_t largest_directory = 4 << 20;

// Whether [offset, offset + size) lies within the first `limit` bytes, without the sum
// wrapping around.
bool within(std::uint64_t offset, std::uint64_t size, std::uint64_t limit) {
  return size <= limit && offset <= limit - size;
}

// Little-endian fields of a byte run, with bounds checks.
class fields {
 public:
  fields(const std::vector<std::uint8_t>& bytes, std::size_t at = 0) : bytes_(bytes), at_(at) {}
  template <class T>
  T get(std::size_t offset) const {
    if (at_ + offset + sizeof(T) > bytes_.size()) throw corrupt_data("zip directory is truncated");
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(bytes_[at_ + offset + i]) << (8 * i));
    return value;
  }

 private:
  const std::vector<std::uint8_t>& bytes_;
  std::size_t at_;
};

std::vector<std::uint8_t> read_at(random_access& archive, std::uint64_t offset, std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  if (!archive.read_at(offset, bytes.data(), size)) throw corrupt_data("zip archive is truncated");
  return bytes;
}

struct directory_location {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint64_t entries = 0;
};

directory_location locate_directory(random_access& archive, std::uint64_t file_size) {
  // The end record (22 bytes) ends the file, behind a comment of at most 65535 bytes.
  const std::uint64_t tail_size = std::min<std::uint64_t>(file_size, 22 + 65535);
  const std::uint64_t tail_start = file_size - tail_size;
  const auto tail = read_at(archive, tail_start, static_cast<std::size_t>(tail_size));
  for (std::size_t at = tail.size() >= 22 ? tail.size() - 22 + 1 : 0; at-- > 0;) {
    const fields end(tail, at);
    if (end.get<std::uint32_t>(0) != end_of_directory_signature) continue;
    directory_location where{end.get<std::uint32_t>(16), end.get<std::uint32_t>(12), end.get<std::uint16_t>(10)};
    const bool zip64 = where.offset == 0xffffffff || where.size == 0xffffffff || where.entries == 0xffff;
    if (zip64 && at >= 20) {
      const fields locator(tail, at - 20);
      if (locator.get<std::uint32_t>(0) == zip64_locator_signature) {
        const auto record = read_at(archive, locator.get<std::uint64_t>(8), 56);
        const fields end64(record);
        if (end64.get<std::uint32_t>(0) != zip64_end_signature) throw corrupt_data("zip64 directory record not found");
        where = {end64.get<std::uint64_t>(48), end64.get<std::uint64_t>(40), end64.get<std::uint64_t>(32)};
      }
    }
    return where;
  }
  throw corrupt_data("no zip directory found");
}

// Replaces the 32-bit fields marked 0xffffffff by their zip64 extra values, in order.
void apply_zip64_extra(const std::vector<std::uint8_t>& extra, zip_member& member, std::uint64_t& local_offset,
                       bool size_wide, bool compressed_wide, bool offset_wide) {
  for (std::size_t at = 0; at + 4 <= extra.size();) {
    const fields field(extra, at);
    const std::uint16_t id = field.get<std::uint16_t>(0);
    const std::uint16_t length = field.get<std::uint16_t>(2);
    if (id == zip64_extra_id) {
      std::size_t next = 4;
      if (size_wide) member.size = field.get<std::uint64_t>(next), next += 8;
      if (compressed_wide) member.compressed_size = field.get<std::uint64_t>(next), next += 8;
      if (offset_wide) local_offset = field.get<std::uint64_t>(next);
      return;
    }
    at += 4 + length;
  }
}

}  // namespace

zip_member find_image_member(random_access& archive) {
  const std::uint64_t file_size = archive.size();
  const directory_location where = locate_directory(archive, file_size);
  if (where.size > largest_directory) {
    throw corrupt_data("zip directory of " + std::to_string(where.size) + " bytes is larger than an image archive's " +
                       std::to_string(largest_directory));
  }
  if (!within(where.offset, where.size, file_size)) throw corrupt_data("zip directory lies past the end of the archive");
  const auto directory = read_at(archive, where.offset, static_cast<std::size_t>(where.size));

  zip_member best;
  std::uint64_t best_local_offset = 0;
  bool found = false;
  std::size_t at = 0;
  for (std::uint64_t i = 0; i < where.entries; ++i) {
    const fields entry(directory, at);
    if (entry.get<std::uint32_t>(0) != directory_entry_signature) throw corrupt_data("zip directory entry is damaged");
    const std::uint16_t name_length = entry.get<std::uint16_t>(28);
    const std::uint16_t extra_length = entry.get<std::uint16_t>(30);
    const std::uint16_t comment_length = entry.get<std::uint16_t>(32);
    if (at + 46 + name_length + extra_length > directory.size()) throw corrupt_data("zip directory is truncated");
    zip_member member;
    member.name.assign(directory.begin() + static_cast<long>(at + 46),
                       directory.begin() + static_cast<long>(at + 46 + name_length));
    member.method = entry.get<std::uint16_t>(10);
    member.crc32 = entry.get<std::uint32_t>(16);
    member.compressed_size = entry.get<std::uint32_t>(20);
    member.size = entry.get<std::uint32_t>(24);
    std::uint64_t local_offset = entry.get<std::uint32_t>(42);
    const std::vector<std::uint8_t> extra(directory.begin() + static_cast<long>(at + 46 + name_length),
                                          directory.begin() + static_cast<long>(at + 46 + name_length + extra_length));
    apply_zip64_extra(extra, member, local_offset, member.size == 0xffffffff, member.compressed_size == 0xffffffff,
                      local_offset == 0xffffffff);
    at += 46 + name_length + extra_length + comment_length;

    const bool is_folder = !member.name.empty() && member.name.back() == '/';
    if (is_folder || (found && member.size <= best.size)) continue;
    best = member;
    best_local_offset = local_offset;
    found = true;
  }
  if (!found) throw corrupt_data("zip archive holds no file");
  if (best.method != 0 && best.method != 8) {
    throw corrupt_data("zip member " + best.name + " uses compression method " + std::to_string(best.method) +
                       ", not stored or deflated");
  }

  const auto past_the_end = [] { return corrupt_data("zip member lies past the end of the archive"); };
  if (!within(best_local_offset, 30, file_size)) throw past_the_end();
  const auto header = read_at(archive, best_local_offset, 30);
  const fields local(header);
  if (local.get<std::uint32_t>(0) != local_header_signature) throw corrupt_data("zip member header is damaged");
  const std::uint64_t name_and_extra = local.get<std::uint16_t>(26) + local.get<std::uint16_t>(28);
  if (!within(best_local_offset + 30, name_and_extra, file_size)) throw past_the_end();
  best.data_offset = best_local_offset + 30 + name_and_extra;
  if (!within(best.data_offset, best.compressed_size, file_size)) throw past_the_end();
  return best;
}

}  // namespace image
