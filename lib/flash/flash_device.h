#pragma once
// The flash device: the drive model, the chosen target drive, the image and the job
// settings of one FlashDrive, and the write and validation jobs that run on threads
// of their own.
//
// Shared between the JavaScript thread and the job threads, and what guards each:
//   cancel_write, cancel_validate,  atomics: raised by the JavaScript thread, read by the jobs
//   cancel_backup
//   write_stats, validate_stats,    each record's own lock (statistics_record)
//   backup_stats
//   drive_model lists               drives::lists_mutex, taken by every drive-model call
//   settings (drive, password,      settings_mutex; a setting is only changed while no job
//   image, block map, block sizes,  that reads it is active, and a job copies the settings
//   backup)
//                                   when its thread begins; only the write job's end writes
//                                   `drive` back, under the same lock
//   last_write                      settings_mutex; set by the write job's end, dropped by
//                                   every change of image, block map or drive
//   which jobs run or wait          jobs (job_scheduler, its own lock)
// A job thread holds a shared_ptr to its device, so the device outlives every job
// thread even when its owner lets go of it while a job runs.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "backup/backup_options.h"
#include "drives/drives.h"
#include "drives/phydrive.h"
#include "finish/first_boot_files.h"
#include "finish/held_drive.h"
#include "finish/repair_step.h"
#include "finish/step_records.h"
#include "flash/device_writer.h"
#include "flash/image_pipeline.h"
#include "flash/job_scheduler.h"
#include "flash/statistics_record.h"
#include "flash/write_group.h"
#include "flash/write_record.h"
#include "image/block_map.h"
#include "image/image_source.h"

// Called on the job thread as its very last step, after the thread has let go of the device.
using job_end_callback = std::function<void()>;

// The steps after a verification (lib/finish), each off unless set.
struct finish_settings {
  unsigned repair_attempts = 0;  // passes that write differing ranges again and verify again
  bool fix_gpt = false;          // move a GPT's backup to the drive's end
  std::vector<first_boot_file> files;
  bool eject = false;            // power the drive off at the very end

  // Whether a step may write: the drive is then held from the unmount on.
  bool writes() const { return repair_attempts > 0 || fix_gpt || !files.empty(); }
};

// The settings a job works with, copied when its thread begins.
struct job_settings {
  phydrive drive;
  std::string password;
  image_plan image;
  std::uint64_t block_size = 0;
  write_mode mode = write_mode::sync;
  write_fingerprint fingerprint;  // of the write's settings, taken when the job begins
  bool capacity_check = false;
  finish_settings finish;
  bool first_block_last = true;
  group_membership* group = nullptr;  // none: the write reads the image for itself
  std::optional<backup::backup_options> backup{};  // a backup's output and settings
};

// The plan's source drive of a clone, with the password that opens it; none for an image file.
std::shared_ptr<const source_drive> source_of(const std::optional<phydrive>& source, const std::string& password);

class flash_device_basic {
 public:
  physical_drives drive_model;

  phydrive drive;
  std::string password;
  std::string image_path;  // a file, an http(s) URL, or the node of the source drive
  std::optional<phydrive> source;  // the drive read as the image (a clone); none: a file or URL
  std::uint64_t image_size = 0;  // decoded bytes; 0 while unknown
  image::image_info image_info;  // of a local file; a URL's is read by the job
  // How the image is checked and fetched (its location is image_path).
  origin::image_request image_checks;
  // The image's first MiB goes onto the drive last, zeros standing in for it until then.
  bool first_block_last = true;
  std::shared_ptr<const image::block_map> block_map;  // none: the whole image is written
  std::string block_map_path;
  bool block_map_found = false;  // looked for next to the image, not chosen (image_plan::map_found)
  write_mode mode_of_write = write_mode::sync;
  std::uint64_t write_block_size = 0;
  std::atomic<bool> cancel_write{false};
  std::uint64_t validate_block_size = 0;
  std::atomic<bool> cancel_validate{false};
  bool capacity_check = false;  // the write first checks that the drive holds what it reports
  finish_settings finish;       // what the validation does after its comparison
  std::optional<backup::backup_options> backup_settings;  // none until set_backup
  // A backup reads and encodes the drive in chunks of this size.
  static constexpr std::uint64_t backup_block_size = 4 << 20;
  std::atomic<bool> cancel_backup{false};
  statistics_record write_stats;
  statistics_record validate_stats;
  statistics_record backup_stats;

  // Pause between the end of the write and the permission restore, letting the
  // kernel and udev settle on the rewritten partition table.
  std::uint32_t end_pause_ms = 1600;

  // Chooses the target drive by any name drives::get_drive accepts.
  void set_drive(std::string key);
  // Whether loop devices count as drives from the next set_drive on (off by default):
  // a file stands in for a drive, to try a job without one.
  void set_allow_loop(bool on);
  // Chooses the image file and records its format and size (the decoded size where
  // the format records it). A URL is only recorded: the job reads it.
  void set_image(std::string path);
  // Chooses a listed drive, by any name drives::get_drive accepts, as the image: the
  // write reads it up to the end of its last partition (the whole drive where it has
  // none). Its extent is the image's size where the drive can be read now; otherwise
  // the write learns it when it opens the drive. Throws ENODRIVE for a drive that is not
  // listed or not external/removable.
  void set_source_drive(std::string key);
  // Reads a block map (an empty path clears it): jobs then write and compare only its
  // ranges. Throws "invalid block map: ..." or "block map does not fit the image: ...".
  // A map at a URL is only recorded: the job downloads it. `found`: the map was looked
  // for next to the image, and counts only where the image's checks cover it.
  void set_block_map(std::string path, bool found = false);
  // The published SHA-256 of the image file (hex; empty: none). Throws "invalid SHA-256: ...".
  void set_sha256(std::string hex);
  // The path or URL of a checksums file that lists the image (empty: none).
  void set_checksums(std::string location);
  // A keyring whose keys must sign the checksums file (empty: no signature needed).
  void set_keyring(std::string path);
  // Whether a URL image is kept in (and taken from) the cache, and the cache's size.
  void set_cache(bool on, std::uint64_t limit);
  void set_stall_timeout(std::uint32_t ms);
  // The job reports the SHA-256 of the image bytes it read, whether or not one is checked.
  void set_digest(bool on);
  void set_first_block_last(bool on);
  // Stores the sudo password, then probes it; throws "invalid sudo password".
  void set_password(std::string new_password);
  void set_write_block_size(std::uint64_t bytes);
  void set_write_mode(write_mode mode);
  void set_validate_block_size(std::uint64_t bytes);
  void set_capacity_check(bool on);
  void set_repair_attempts(unsigned attempts);
  void set_fix_gpt(bool on);
  void set_eject(bool on);
  // Throws coded_error (EIMAGE) when a file's partition is not a FAT one of the image.
  void set_first_boot_files(std::vector<first_boot_file> files);
  // Chooses the file a backup of the drive makes and how (backup_options::parse);
  // throws std::invalid_argument for an option that is wrong.
  void set_backup(std::string output, const std::string& options_json);

  // Raise a job's cancel flag; a running job stops after its current block, a
  // waiting one before it touches the drive.
  void request_cancel_write();
  void request_cancel_validate();
  void request_cancel_backup();

 protected:
  // Throws "a job is running on this device" when any job runs or waits.
  void refuse_while_any_job() const;
  std::atomic<bool>& cancel_flag(job_kind kind) {
    return kind == job_kind::write ? cancel_write : kind == job_kind::validate ? cancel_validate : cancel_backup;
  }
  statistics_record& stats_of(job_kind kind) {
    return kind == job_kind::write ? write_stats : kind == job_kind::validate ? validate_stats : backup_stats;
  }
  job_settings settings_for(job_kind kind) const;
  // What a job reads of the image, with blocks of `block_size`.
  image_plan plan_for(std::uint64_t block_size) const;
  // The decoded size the start checks use: the map's, or the image's where known.
  std::optional<std::uint64_t> known_image_size() const;
  // The record of the last clean write when it still describes the settings and files
  // as they are now; none otherwise.
  std::shared_ptr<const write_record> matching_write_record() const;
  void keep_write_record(std::shared_ptr<const write_record> record);

  mutable std::mutex settings_mutex;
  job_scheduler jobs;
  std::shared_ptr<const write_record> last_write;
};

class flash_device_platform : public flash_device_basic {
 protected:
  // `chosen` as a listing taken now shows it: the job's one listing. Throws ENODRIVE
  // when the listing no longer shows that drive.
  phydrive listed_now(const phydrive& chosen);
  // Unmounts the partitions of `listed`; throws `why` with "failed to unmount device:
  // ..." when one stays mounted.
  void unmount(const phydrive& listed, reason why);
  // The body of the write job.
  void write_drive(const job_settings& settings);
  // The data part: the image's chunks from `image` onto the drive, and the record kept.
  void write_data(const job_settings& job, image_pipeline& image, std::size_t taker);
  // Whether the write may go on: true when the capacity check is off or passed; else
  // the failure is recorded in write_stats and nothing more may be written. Runs with
  // the drive's node open to the job.
  bool capacity_confirmed(const job_settings& job, const image_pipeline& image);
  // The body of the backup job.
  void back_up(const job_settings& job);
  // The data part of the backup: the drive read up to its extent into the output files.
  void back_up_data(const job_settings& job);
};

class flash_device : public flash_device_platform,
                     public std::enable_shared_from_this<flash_device> {
 public:
  // Checks the settings, resets write_stats and starts the write on a detached
  // thread. The device must be owned by a std::shared_ptr.
  void write_async(job_end_callback on_end = {});
  // Checks the image and block size, resets validate_stats and starts the validation;
  // with a non-empty `report_path` every differing byte is listed in that file.
  void validate_async(job_end_callback on_end = {}, std::string report_path = {});
  // Checks the drive and the backup's output, resets backup_stats and starts reading
  // the drive into the output.
  void backup_async(job_end_callback on_end = {});
  // Starts a write on each device, the image read once for all of them. Every
  // device's start checks run first: when one refuses, none starts, and the error's
  // text is the drive's path, ": " and the refusal. The devices must hold one image,
  // block map and write block size. `on_end[i]` is device i's end callback.
  static void write_group_async(const std::vector<std::shared_ptr<flash_device>>& devices,
                                std::vector<job_end_callback> on_end);

  // The body of the validation job: the comparison, then the steps after it.
  void validate(std::string report_path);

 private:
  // The steps after the comparison that change the drive (repair, GPT, files), written
  // through `drive`; the comparison is run again through `verify_again`. Their failure
  // is recorded.
  finish_records run_steps(const job_settings& job, const held_drive& drive, const verification_pass& first,
                           std::uint64_t image_end, const std::function<verification_pass()>& verify_again,
                           verification_pass& last);
  void write_start_checks() const;
  void validate_start_checks() const;
  void backup_start_checks() const;
  // Claims the job, runs its checks, resets its cancel flag and statistics, starts it.
  void start_job(job_kind kind, job_end_callback on_end, std::string report_path);
  // The same without the thread, under settings_mutex; the claim is taken back when a
  // check refuses.
  void claim_and_check(job_kind kind);
  void start_thread(job_kind kind, job_end_callback on_end, std::string report_path,
                    std::shared_ptr<write_group> group = nullptr, std::size_t group_drive = 0);
  void run_job(job_kind kind, const std::string& report_path, std::shared_ptr<write_group> group,
               std::size_t group_drive);
};
