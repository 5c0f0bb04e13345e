#pragma once
// First-boot files (an SSH key, a host name, cloud-init's user data): written into a FAT
// partition of the written drive with mtools (`mcopy -i DEVICE@@OFFSET`), the kernel
// not being needed to mount it, then read back and compared.
#include <optional>
#include <string>
#include <vector>

#include "finish/held_drive.h"
#include "finish/partition_table.h"
#include "finish/step_records.h"
#include "flash/image_pipeline.h"
#include "support/coded_error.h"

struct first_boot_file {
  int partition = 0;    // its number in the partition table
  std::string path;     // inside the file system, "/" separated
  std::string content;  // bytes
};

// Throws std::invalid_argument naming the first path that first_boot_path_problem
// refuses.
void check_file_paths(const std::vector<first_boot_file>& files);

// Checks, before anything is written, that every file's partition is in the table
// `read` shows and holds a FAT file system. Throws coded_error (EIMAGE).
void check_file_partitions(const read_at& read, const std::vector<first_boot_file>& files);

// The same on the image `plan` names, decoded as far as the checks need.
void check_file_partitions(const image_plan& plan, const std::vector<first_boot_file>& files);

// Writes the files onto the held drive and reads each one back. mtools opens the
// drive's node again, not exclusively, which the hold allows while it refuses mounts.
// A failure goes to `failure` (EBUSY where the drive could not be held, EIMAGE for a
// partition that is not FAT, EWRITE otherwise).
files_record write_first_boot_files(const held_drive& drive, const std::vector<first_boot_file>& files,
                                    std::optional<coded_error>& failure);
