#pragma once
// The rules that say which appearing drives a station writes: a size range, the port
// it is plugged into, and its vendor or model. Only an external or removable drive
// is ever written, whatever the rules.
#include <cstdint>
#include <optional>
#include <string>

#include "drives/phydrive.h"

namespace station {

struct drive_rules {
  std::optional<std::uint64_t> min_size;  // bytes
  std::optional<std::uint64_t> max_size;
  std::string port;    // a /dev/disk/by-path name, or a shell pattern of one (*, ?, [...]); empty: any
  std::string vendor;  // a part of the vendor's name, in any case; empty: any
  std::string model;   // a part of the model's name, in any case; empty: any
};

// Why the station leaves `drive` alone, or empty when it writes it.
std::string mismatch(const phydrive& drive, const drive_rules& rules);

}  // namespace station
