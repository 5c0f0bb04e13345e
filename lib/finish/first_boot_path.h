#pragma once
// The paths a first-boot file may take inside a FAT file system: names joined by single
// slashes, with at most one slash in front. Anything else would make mtools write
// elsewhere than asked, or read back under another name.
#include <string>
#include <vector>

// Why `path` cannot be used, or "" when it can.
std::string first_boot_path_problem(const std::string& path);

// The names of an acceptable `path`, from the root down.
std::vector<std::string> first_boot_path_names(const std::string& path);
