#include "flash/write_rules.h"

namespace write_rules {

std::string block_size_problem(std::uint64_t bytes, const phydrive& drive) {
  if (drive.block_size == 0) return "the drive reports no sector size";
  if (bytes == 0 || bytes % drive.block_size != 0) {
    return std::to_string(bytes) + " bytes is not a multiple of the drive's " + std::to_string(drive.block_size) +
           "-byte sectors";
  }
  if (bytes > largest_block_size) return std::to_string(bytes) + " bytes is above the limit of 256 MiB";
  if (bytes > drive.disk_size) return std::to_string(bytes) + " bytes is more than the drive holds";
  return {};
}

bool image_fits(std::optional<std::uint64_t> decoded, const phydrive& drive) {
  return !decoded || *decoded <= drive.disk_size;
}

bool may_target(const phydrive& drive) { return drive.loop || drive.is_external_or_removable(); }

}  // namespace write_rules
