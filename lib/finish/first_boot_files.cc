#include "finish/first_boot_files.h"

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "device/block_io.h"
#include "finish/drive_access.h"
#include "finish/first_boot_path.h"
#include "finish/image_bytes.h"
#include "net/url.h"
#include "support/process.h"
#include "support/shell.h"

namespace {

// The partition's place, checked to hold FAT.
partition_place fat_partition(const partition_table& table, const read_at& read, int number) {
  const std::optional<partition_place> place = table.find(number);
  if (!place) throw coded_error(reason::image, "the image has no partition " + std::to_string(number));
  if (!holds_fat(read(place->offset, 512))) {
    throw coded_error(reason::image, "partition " + std::to_string(number) + " of the image holds no FAT file system");
  }
  return *place;
}

// A folder of this step's own under the temporary folder, removed with what it holds.
class scratch_dir {
 public:
  scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "flasher-files-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw coded_error(reason::write, "failed to create a temporary folder", errno);
    path_ = pattern;
  }
  ~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An mtools command on the FAT file system at `offset` of the drive.
std::string mtools(const std::string& tool, const std::string& device_path, std::uint64_t offset, const std::string& rest) {
  return "MTOOLS_SKIP_CHECK=1 " + tool + " -i " + shell::quote(device_path + "@@" + std::to_string(offset)) + " " + rest;
}

void write_one(const std::string& device_path, int held, std::uint64_t offset, const first_boot_file& file, const scratch_dir& scratch) {
  const std::string local = scratch.file("content");
  std::ofstream(local, std::ios::binary | std::ios::trunc) << file.content;
  const std::vector<std::string> names = first_boot_path_names(file.path);
  std::string in_fat = "::";
  // Parent folders first; one that exists already makes mmd fail, which is fine.
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    in_fat += "/" + names[i];
    process::run(mtools("mmd", device_path, offset, shell::quote(in_fat)));
  }
  in_fat += "/" + names.back();
  const process::outcome copied =
      process::run(mtools("mcopy -o", device_path, offset, shell::quote(local) + " " + shell::quote(in_fat)));
  if (copied.status != 0) throw coded_error(reason::write, "failed to write " + file.path + ": " + copied.output);

  // What is read back comes from the medium, not from the cache mcopy wrote into.
  block_io::drop_cached_pages(held);
  const std::string back = scratch.file("read-back");
  std::filesystem::remove(back);
  const process::outcome read =
      process::run(mtools("mcopy -n", device_path, offset, shell::quote(in_fat) + " " + shell::quote(back)));
  if (read.status != 0 || read_whole(back) != file.content) {
    throw coded_error(reason::write, file.path + " reads back differently from what was written");
  }
}

}  // namespace

void check_file_paths(const std::vector<first_boot_file>& files) {
  for (const first_boot_file& file : files) {
    const std::string problem = first_boot_path_problem(file.path);
    if (!problem.empty()) throw std::invalid_argument(problem);
  }
}

void check_file_partitions(const read_at& read, const std::vector<first_boot_file>& files) {
  if (files.empty()) return;
  const partition_table table(read, 512);
  for (const first_boot_file& file : files) fat_partition(table, read, file.partition);
}

void check_file_partitions(const image_plan& plan, const std::vector<first_boot_file>& files) {
  // An image at a URL is not read before its job (no network on the caller's thread):
  // its partitions are checked by the step, after the verification.
  if (files.empty() || net::is_url(plan.request.location)) return;
  check_file_partitions(image_reader(plan), files);
}

files_record write_first_boot_files(const held_drive& drive, const std::vector<first_boot_file>& files,
                                    std::optional<coded_error>& failure) {
  files_record record;
  try {
    const int held = drive.fd();
    const read_at read = reader_of(held);
    const partition_table table(read, logical_sector_size(held));
    scratch_dir scratch;
    for (const first_boot_file& file : files) {
      write_one(drive.path(), held, fat_partition(table, read, file.partition).offset, file, scratch);
      record.files.push_back({file.partition, file.path, file.content.size()});
    }
    record.status = step_status::done;
    record.message = std::to_string(files.size()) + (files.size() == 1 ? " file" : " files") + " written and read back";
  } catch (const std::exception& e) {
    failure = coded(e, reason::write, "the first-boot files on " + drive.path());
    record.status = step_status::failed;
    record.message = failure->what();
  }
  return record;
}
