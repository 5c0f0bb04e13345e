#pragma once
// First-boot files (an SSH key, a host name, cloud-init's user data): written into a FAT
// partition of the written drive with mtools (`mcopy -i DEVICE@@OFFSET`), the kernel
// not being needed to mount it, then read back and compared.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "finish/partition_table.h"
#include "finish/step_records.h"
#include "flash/image_pipeline.h"
#include "support/coded_error.h"

struct first_boot_file {
  int partition = 0;    // its number in the partition table
  std::string path;     // inside the file system, "/" separated
  std::string content;  // bytes
};

// Checks, before anything is written, that every file's partition is in the table
// `read` shows and holds a FAT file system. Throws coded_error (EIMAGE).
void check_file_partitions(const read_at& read, const std::vector<first_boot_file>& files);

// The same on the image `plan` names, decoded as far as the checks need.
void check_file_partitions(const image_plan& plan, const std::vector<first_boot_file>& files);

// Writes the files onto the drive at `device_path` and reads each one back;
// `before_writing` runs first. A failure goes to `failure` (EIMAGE for a partition
// that is not FAT, EWRITE otherwise).
files_record write_first_boot_files(const std::string& device_path, const std::vector<first_boot_file>& files,
                                    const std::function<void()>& before_writing, std::optional<coded_error>& failure);
