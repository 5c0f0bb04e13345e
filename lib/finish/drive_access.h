#pragma once
// What the finishing steps do on the drive outside the block loops: read a few bytes,
// and write whole sectors that are then read back off the medium and checked.
#include <cstdint>
#include <string>
#include <vector>

#include "finish/gpt_relocation.h"
#include "finish/partition_table.h"

// The drive's logical sector size: the unit of its partition table's LBAs (512 for a file).
std::uint32_t logical_sector_size(int fd);

// Reads the drive (or image file) through `fd`, which must stay open while it is used.
read_at reader_of(int fd);

// Writes `writes` in their order onto the drive at `path`, flushes, and reads each one
// back off the medium. Throws coded_error (EWRITE) when a write fails or what is read
// back differs.
void write_and_check(const std::string& path, const std::vector<sector_write>& writes);
