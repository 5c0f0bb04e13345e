#pragma once
// Where a backup may put its files: never onto the drive it reads, and never over
// anything that is not a file of its own making.
#include <string>

#include "drives/phydrive.h"

namespace backup {

// The folder part of `path` ("." where it has none).
std::string folder_of(const std::string& path);

// Refuses (EOUTPUT) a file that cannot be made at `path`: its folder is missing, or
// something of that name exists and `overwrite` is false or it is not a regular file.
void check_output_path(const std::string& path, bool overwrite);

// Whether `path` lies on `drive`: its folder is on a file system of the drive's
// node or of one of its partitions, or below a mount point of one of its partitions.
bool lies_on_drive(const std::string& path, const phydrive& drive);

}  // namespace backup
