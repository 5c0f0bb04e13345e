#include "finish/partition_table.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t mbr_entries_at = 446;
constexpr std::size_t mbr_entry_size = 16;
constexpr std::uint8_t gpt_protective_type = 0xee;
constexpr int max_logical_partitions = 128;  // a chain of EBRs that loops ends here
constexpr std::size_t max_gpt_entries_bytes = 1 << 20;

bool has_boot_signature(const std::vector<std::uint8_t>& sector) {
  return sector.size() >= 512 && sector[510] == 0x55 && sector[511] == 0xaa;
}

bool is_extended(std::uint8_t type) { return type == 0x05 || type == 0x0f || type == 0x85; }

std::uint32_t crc32_of(const std::uint8_t* bytes, std::size_t size) {
  return static_cast<std::uint32_t>(::crc32(::crc32(0, nullptr, 0), bytes, static_cast<uInt>(size)));
}

bool all_zero(const std::uint8_t* bytes, std::size_t size) {
  return std::all_of(bytes, bytes + size, [](std::uint8_t b) { return b == 0; });
}

}  // namespace

std::uint32_t le32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 | std::uint32_t{at[3]} << 24;
}
std::uint64_t le64(const std::uint8_t* at) { return std::uint64_t{le32(at)} | std::uint64_t{le32(at + 4)} << 32; }
void put_le32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void put_le64(std::uint8_t* at, std::uint64_t value) {
  put_le32(at, static_cast<std::uint32_t>(value));
  put_le32(at + 4, static_cast<std::uint32_t>(value >> 32));
}

std::optional<gpt_header> gpt_header::parse(std::vector<std::uint8_t> sector) {
  if (sector.size() < 512 || std::memcmp(sector.data(), "EFI PART", 8) != 0) return std::nullopt;
  const std::uint32_t size = le32(&sector[12]);
  if (size < 92 || size > sector.size()) return std::nullopt;
  gpt_header header;
  header.sector_ = std::move(sector);
  if (header.sealed() != header.sector_) return std::nullopt;
  const std::uint32_t entry_size = header.entry_size();
  if (entry_size < 128 || (entry_size & (entry_size - 1)) != 0 || header.entries_bytes() > max_gpt_entries_bytes) {
    return std::nullopt;
  }
  return header;
}

std::vector<std::uint8_t> gpt_header::sealed() const {
  std::vector<std::uint8_t> sector = sector_;
  put_le32(&sector[16], 0);
  put_le32(&sector[16], crc32_of(sector.data(), le32(&sector[12])));
  return sector;
}

std::uint32_t gpt_header::u32(std::size_t at) const { return le32(&sector_[at]); }
std::uint64_t gpt_header::u64(std::size_t at) const { return le64(&sector_[at]); }
void gpt_header::set_u64(std::size_t at, std::uint64_t value) { put_le64(&sector_[at], value); }

partition_table::partition_table(const read_at& read, std::uint32_t sector_size) : sector_size_(sector_size) {
  const std::vector<std::uint8_t> mbr = read(0, sector_size);
  if (!has_boot_signature(mbr)) return;
  bool protective = false;
  for (int slot = 0; slot < 4; ++slot) protective |= mbr[mbr_entries_at + slot * mbr_entry_size + 4] == gpt_protective_type;
  if (protective) read_gpt(read);
  if (kind_ == table_kind::none) read_mbr(read, mbr);
}

void partition_table::read_gpt(const read_at& read) {
  primary_ = gpt_header::parse(read(sector_size_, sector_size_));
  if (!primary_ || primary_->my_lba() != 1) {
    primary_.reset();
    return;
  }
  entries_ = read(primary_->entries_lba() * sector_size_, primary_->entries_bytes());
  if (entries_.size() != primary_->entries_bytes() || crc32_of(entries_.data(), entries_.size()) != primary_->entries_crc()) {
    primary_.reset();
    entries_.clear();
    return;
  }
  kind_ = table_kind::gpt;
  for (std::uint32_t i = 0; i < primary_->entry_count(); ++i) {
    const std::uint8_t* entry = &entries_[std::size_t{i} * primary_->entry_size()];
    if (all_zero(entry, 16)) continue;  // an unused entry has no type
    const std::uint64_t first = le64(entry + 32);
    const std::uint64_t last = le64(entry + 40);
    if (last < first) continue;
    partitions_.push_back({static_cast<int>(i) + 1, {first * sector_size_, (last - first + 1) * sector_size_}});
  }
}

void partition_table::read_mbr(const read_at& read, const std::vector<std::uint8_t>& mbr) {
  kind_ = table_kind::mbr;
  std::uint64_t extended_start = 0;
  for (int slot = 0; slot < 4; ++slot) {
    const std::uint8_t* entry = &mbr[mbr_entries_at + slot * mbr_entry_size];
    const std::uint64_t start = le32(entry + 8);
    const std::uint64_t count = le32(entry + 12);
    if (entry[4] == 0 || count == 0) continue;
    if (is_extended(entry[4])) extended_start = start;
    partitions_.push_back({slot + 1, {start * sector_size_, count * sector_size_}});
  }
  // Logical partitions: a chain of EBRs, each one's second entry pointing at the next
  // relative to the extended partition's start.
  std::uint64_t ebr = extended_start;
  for (int number = 5; ebr != 0 && number < 5 + max_logical_partitions; ++number) {
    const std::vector<std::uint8_t> sector = read(ebr * sector_size_, sector_size_);
    if (!has_boot_signature(sector)) break;
    const std::uint8_t* logical = &sector[mbr_entries_at];
    const std::uint8_t* next = logical + mbr_entry_size;
    if (logical[4] != 0 && le32(logical + 12) != 0) {
      partitions_.push_back({number, {(ebr + le32(logical + 8)) * sector_size_, std::uint64_t{le32(logical + 12)} * sector_size_}});
    }
    const std::uint64_t following = le32(next + 8);
    ebr = is_extended(next[4]) && following != 0 ? extended_start + following : 0;
  }
}

std::optional<partition_place> partition_table::find(int number) const {
  for (const auto& [n, place] : partitions_) {
    if (n == number) return place;
  }
  return std::nullopt;
}

bool holds_fat(const std::vector<std::uint8_t>& boot) {
  if (!has_boot_signature(boot) || (boot[0] != 0xeb && boot[0] != 0xe9)) return false;
  const std::uint32_t bytes_per_sector = boot[11] | boot[12] << 8;
  const std::uint32_t sectors_per_cluster = boot[13];
  const std::uint32_t reserved = boot[14] | boot[15] << 8;
  const std::uint32_t fats = boot[16];
  const bool sizes = (bytes_per_sector == 512 || bytes_per_sector == 1024 || bytes_per_sector == 2048 ||
                      bytes_per_sector == 4096) &&
                     sectors_per_cluster != 0 && (sectors_per_cluster & (sectors_per_cluster - 1)) == 0;
  const bool named = std::memcmp(&boot[54], "FAT", 3) == 0 || std::memcmp(&boot[82], "FAT32", 5) == 0;
  return sizes && reserved != 0 && (fats == 1 || fats == 2) && named;
}
