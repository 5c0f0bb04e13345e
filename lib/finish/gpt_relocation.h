#pragma once
// Moves a GPT's backup to the drive's last sectors, as `sgdisk -e` does, for an image
// written onto a drive larger than itself: the backup entries and header go to the
// end, the primary header gets the new alternate and last usable LBAs (and its CRC),
// and a protective MBR covers the whole drive. A drive without a GPT, or whose GPT
// already ends at its last sector, is left alone.
#include <cstdint>
#include <string>
#include <vector>

#include "finish/partition_table.h"

// Whole sectors to write at `offset`.
struct sector_write {
  std::uint64_t offset = 0;
  std::vector<std::uint8_t> bytes;
};

struct gpt_relocation {
  std::vector<sector_write> writes;  // in the order to write them: the new backup first
  std::string left_alone;            // why nothing is to be written, when nothing is
};

// Plans the move from the table as read off a drive of `drive_size` bytes.
gpt_relocation plan_gpt_relocation(const read_at& read, std::uint32_t sector_size, std::uint64_t drive_size);
