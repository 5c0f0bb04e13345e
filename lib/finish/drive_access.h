#pragma once
// What the finishing steps do on the drive outside the block loops: read a few bytes,
// and write whole sectors that are then read back off the medium and checked.
#include <cstdint>
#include <string>
#include <vector>

#include "finish/gpt_relocation.h"
#include "finish/held_drive.h"
#include "finish/partition_table.h"

// The drive's logical sector size: the unit of its partition table's LBAs (512 for a file).
std::uint32_t logical_sector_size(int fd);

// Reads the drive (or image file) through `fd`, which must stay open while it is used.
read_at reader_of(int fd);

// Writes `writes` in their order onto the held drive, flushes, and reads each one back
// off the medium. Throws coded_error: EBUSY where the drive could not be held, EWRITE
// when a write fails or what is read back differs.
void write_and_check(const held_drive& drive, const std::vector<sector_write>& writes);
