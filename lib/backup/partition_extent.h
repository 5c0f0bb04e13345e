#pragma once
// How much of a drive a backup reads: up to the end of the last partition of its MBR
// or GPT, read through libblkid, or the whole drive.
#include <cstdint>
#include <optional>
#include <string>

#include "backup/backup_options.h"

namespace backup {

// The byte where the last partition of the partition table at the start of `path`
// ends; none where there is no partition table or it lists no partition. Throws
// coded_error (EREAD) when `path` cannot be opened.
std::optional<std::uint64_t> partitions_end(const std::string& path);

// The bytes of a drive of `drive_size` bytes that a backup of `kind` reads: the whole
// drive, or up to the end of its last partition (the whole drive where it has none).
std::uint64_t extent_of(const std::string& path, std::uint64_t drive_size, extent_kind kind);

}  // namespace backup
