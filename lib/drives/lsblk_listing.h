#pragma once
// Reading the JSON listing of `lsblk --bytes --json -o ...` into drive records.
#include <string>
#include <vector>

#include "drives/phydrive.h"

namespace lsblk_listing {

// The command line whose output parse() reads.
extern const char* const command_line;

// Every top-level entry of type "disk", in listing order, and with `loops` also every
// attached loop device (type "loop", not of size 0), marked as such. Throws a
// std::exception (from the JSON library) on malformed text or a member of the wrong
// JSON type.
std::vector<phydrive> parse(const std::string& json_text, bool loops = false);

}  // namespace lsblk_listing
