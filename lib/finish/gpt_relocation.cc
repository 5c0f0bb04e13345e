#include "finish/gpt_relocation.h"

#include <algorithm>

namespace {

constexpr std::size_t mbr_entries_at = 446;
constexpr std::size_t mbr_entry_size = 16;

// The protective MBR with its one 0xEE entry sized to the drive; none when the MBR is a
// hybrid one (other entries beside it), which describes partitions and stays as it is.
std::vector<std::uint8_t> resized_protective_mbr(std::vector<std::uint8_t> mbr, std::uint64_t last_lba) {
  int protective = -1;
  for (int slot = 0; slot < 4; ++slot) {
    const std::uint8_t type = mbr[mbr_entries_at + slot * mbr_entry_size + 4];
    if (type == 0xee && protective < 0) {
      protective = slot;
    } else if (type != 0) {
      return {};
    }
  }
  std::uint8_t* entry = &mbr[mbr_entries_at + protective * mbr_entry_size];
  const auto size = static_cast<std::uint32_t>(std::min<std::uint64_t>(last_lba, 0xffffffff));
  if (le32(entry + 12) == size) return {};
  put_le32(entry + 12, size);
  return mbr;
}

}  // namespace

gpt_relocation plan_gpt_relocation(const read_at& read, std::uint32_t sector_size, std::uint64_t drive_size) {
  gpt_relocation plan;
  const partition_table table(read, sector_size);
  if (table.kind() != table_kind::gpt) {
    plan.left_alone = "no GPT";
    return plan;
  }
  const std::uint64_t last_lba = drive_size / sector_size - 1;
  gpt_header primary = *table.primary();
  if (primary.alternate_lba() == last_lba) {
    plan.left_alone = "the GPT already ends at the drive's last sector";
    return plan;
  }
  const std::uint64_t entry_sectors = (primary.entries_bytes() + sector_size - 1) / sector_size;
  const std::uint64_t backup_entries_lba = last_lba - entry_sectors;
  if (primary.alternate_lba() > last_lba || backup_entries_lba <= primary.last_usable_lba()) {
    plan.left_alone = "the GPT describes a drive larger than this one";
    return plan;
  }

  primary.set_alternate_lba(last_lba);
  primary.set_last_usable_lba(backup_entries_lba - 1);
  gpt_header backup = primary;
  backup.set_my_lba(last_lba);
  backup.set_alternate_lba(1);
  backup.set_entries_lba(backup_entries_lba);

  std::vector<std::uint8_t> entries = table.gpt_entries();
  entries.resize(entry_sectors * sector_size, 0);
  plan.writes.push_back({backup_entries_lba * sector_size, std::move(entries)});
  plan.writes.push_back({last_lba * sector_size, backup.sealed()});
  plan.writes.push_back({std::uint64_t{sector_size}, primary.sealed()});
  std::vector<std::uint8_t> mbr = resized_protective_mbr(read(0, sector_size), last_lba);
  if (!mbr.empty()) plan.writes.push_back({0, std::move(mbr)});
  return plan;
}
