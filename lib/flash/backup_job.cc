// The backup job: the drive read up to its extent, as an image, into an encoder and
// its output file, with the block map and the checksum file beside it.
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <stdexcept>

#include "backup/backup_sink.h"
#include "backup/drive_reader.h"
#include "backup/output_place.h"
#include "backup/partition_extent.h"
#include "backup/staged_file.h"
#include "flash/flash_device.h"
#include "flash/job_loops.h"
#include "flash/node_access.h"
#include "support/privileges.h"

using clock_type = flash_statistics::clock;

namespace {

// The checksum file's line, in the form `sha256sum -c` reads beside the output.
std::string checksum_line(const std::string& sha256, const std::string& output) {
  const auto slash = output.find_last_of('/');
  return sha256 + "  " + (slash == std::string::npos ? output : output.substr(slash + 1)) + "\n";
}

// With overwriting allowed, a block map or checksum file of an earlier backup that
// this one does not replace would describe another image: it goes.
void remove_stale(const std::string& path, bool made) {
  struct stat status {};
  if (!made && ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) ::unlink(path.c_str());
}

}  // namespace

void flash_device_platform::back_up(const job_settings& job) {
  auto start = clock_type::now();
  std::unique_ptr<node_access> access;
  try {
    // Time may have passed since the start, waiting for another job of the drive.
    for (const std::string& path : job.backup->files()) backup::check_output_path(path, job.backup->overwrite);
    const phydrive listed = listed_now(job.drive);
    if (!privileges::is_root()) access = std::make_unique<node_access>(listed.path, "r", job.password, backup_stats);
    // A file system still mounted may change while it is read: it is not read.
    unmount(listed, reason::read);
    start = clock_type::now();
    if (!cancel_backup) back_up_data(job);
  } catch (const std::exception& e) {
    backup_stats.error_queue(e, reason::read);
  } catch (...) {
    backup_stats.error_queue(reason::read, "unknown failure of the backup job");
  }
  backup_stats.update_report([](job_report& r) { r.phase = job_phase::finish; });
  backup_stats.update([&](flash_statistics& s) { s.close(start, cancel_backup); });
  try {
    if (access) access->restore();
  } catch (const std::exception& e) {
    backup_stats.error_queue(e, reason::read);
  }
}

void flash_device_platform::back_up_data(const job_settings& job) {
  const backup::backup_options& chosen = *job.backup;
  block_io::unique_fd fd = backup::open_drive(job.drive.path);
  const std::uint64_t extent = backup::extent_of(job.drive.path, job.drive.disk_size, chosen.extent);
  backup_stats.progress.total = extent;
  backup_stats.update_report([&](job_report& r) {
    r.phase = job_phase::data;
    r.image_size = extent;
  });

  image_plan plan;
  plan.request.location = job.drive.path;
  plan.info = image::image_info{image::format::raw, extent, extent};
  plan.block_size = job.block_size;
  image_pipeline drive(plan, std::make_unique<backup::drive_reader>(std::move(fd), extent));
  backup::staged_file output(chosen.output, chosen.overwrite);
  const std::unique_ptr<backup::encoder> encoder = backup::make_encoder(chosen.format, chosen.level, extent, output);
  std::optional<backup::block_map_writer> map;
  if (chosen.block_map) map.emplace();
  backup::backup_sink sink(*encoder, map ? &*map : nullptr);

  const loop_outcome read = read_drive(job, drive, sink, output, backup_stats, cancel_backup);
  backup_stats.update_report([&](job_report& r) { r.bytes = read.bytes; });
  if (!read.complete || cancel_backup) return;  // the staged files go

  encoder->finish();
  const std::string sha256 = output.finish();
  std::vector<std::unique_ptr<backup::staged_file>> beside;
  const auto add_beside = [&](const std::string& path, const std::string& text) {
    beside.push_back(std::make_unique<backup::staged_file>(path, chosen.overwrite));
    beside.back()->write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    beside.back()->finish();
  };
  if (map) add_beside(chosen.block_map_path(), map->finish());
  if (chosen.checksum) add_beside(chosen.checksum_path(), checksum_line(sha256, chosen.output));
  std::vector<backup::staged_file*> files{&output};
  for (const auto& file : beside) files.push_back(file.get());
  backup::commit_together(files);
  if (chosen.overwrite) {
    remove_stale(chosen.block_map_path(), chosen.block_map);
    remove_stale(chosen.checksum_path(), chosen.checksum);
  }

  backup_stats.progress.output = output.size();
  backup_stats.update_report([&](job_report& r) {
    r.data_complete = true;
    r.backup->output_bytes = output.size();
    r.backup->sha256 = sha256;
    if (map) r.backup->block_map = chosen.block_map_path();
    if (chosen.checksum) r.backup->checksum_file = chosen.checksum_path();
  });
}
