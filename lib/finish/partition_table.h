#pragma once
// The partition table of a drive or an image, MBR (with logical partitions) or GPT,
// read through a function that returns the bytes at an offset; and the test whether a
// partition holds a FAT file system. Numbers are those Linux gives: 1 to 4 the MBR's
// slots and 5 on its logical partitions, or the GPT entry's index plus one.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The bytes at `offset`, fewer only where the drive or image ends.
using read_at = std::function<std::vector<std::uint8_t>(std::uint64_t offset, std::size_t length)>;

// A GPT header: its sector, and its fields where the UEFI layout puts them.
class gpt_header {
 public:
  // The header of a sector that holds one with a right CRC; none otherwise.
  static std::optional<gpt_header> parse(std::vector<std::uint8_t> sector);

  std::uint64_t my_lba() const { return u64(24); }
  std::uint64_t alternate_lba() const { return u64(32); }
  std::uint64_t last_usable_lba() const { return u64(48); }
  std::uint64_t entries_lba() const { return u64(72); }
  std::uint32_t entry_count() const { return u32(80); }
  std::uint32_t entry_size() const { return u32(84); }
  std::uint32_t entries_crc() const { return u32(88); }
  std::uint64_t entries_bytes() const { return std::uint64_t{entry_count()} * entry_size(); }

  void set_my_lba(std::uint64_t lba) { set_u64(24, lba); }
  void set_alternate_lba(std::uint64_t lba) { set_u64(32, lba); }
  void set_last_usable_lba(std::uint64_t lba) { set_u64(48, lba); }
  void set_entries_lba(std::uint64_t lba) { set_u64(72, lba); }
  // The sector with the header's CRC computed afresh.
  std::vector<std::uint8_t> sealed() const;

 private:
  std::uint32_t u32(std::size_t at) const;
  std::uint64_t u64(std::size_t at) const;
  void set_u64(std::size_t at, std::uint64_t value);
  std::vector<std::uint8_t> sector_;
};

enum class table_kind { none, mbr, gpt };

struct partition_place {
  std::uint64_t offset = 0;  // bytes from the drive's start
  std::uint64_t size = 0;    // bytes
};

class partition_table {
 public:
  // Reads the table; a GPT counts when a protective (or hybrid) MBR entry and a
  // primary header with right CRCs are there.
  partition_table(const read_at& read, std::uint32_t sector_size);

  table_kind kind() const { return kind_; }
  // Partition `number`, none when the table has no such partition.
  std::optional<partition_place> find(int number) const;
  // The primary GPT header (kind() is gpt) and its entries' bytes.
  const std::optional<gpt_header>& primary() const { return primary_; }
  const std::vector<std::uint8_t>& gpt_entries() const { return entries_; }

 private:
  void read_mbr(const read_at& read, const std::vector<std::uint8_t>& mbr);
  void read_gpt(const read_at& read);

  std::uint32_t sector_size_;
  table_kind kind_ = table_kind::none;
  std::vector<std::pair<int, partition_place>> partitions_;
  std::optional<gpt_header> primary_;
  std::vector<std::uint8_t> entries_;
};

// Whether `boot_sector`, a partition's first 512 bytes, starts a FAT file system.
bool holds_fat(const std::vector<std::uint8_t>& boot_sector);

// Little-endian fields of on-disk structures.
std::uint32_t le32(const std::uint8_t* at);
std::uint64_t le64(const std::uint8_t* at);
void put_le32(std::uint8_t* at, std::uint32_t value);
void put_le64(std::uint8_t* at, std::uint64_t value);
