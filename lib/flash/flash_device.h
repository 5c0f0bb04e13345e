#pragma once
// The flash device: the drive model, the chosen target drive, the image and the job
// settings of one FlashDrive, and the write and validation jobs that run on threads
// of their own.
//
// Shared between the JavaScript thread and the job threads, and what guards each:
//   cancel_write, cancel_validate   atomics: raised by the JavaScript thread, read by the jobs
//   write_stats, validate_stats     each record's own lock (statistics_record)
//   drive_model lists               drives::lists_mutex, taken by every drive-model call
//   settings (drive, password,      settings_mutex; a setting is only changed while no job
//   image, block sizes)             that reads it is active, and a job copies the settings
//                                   when its thread begins; only the write job's end writes
//                                   `drive` back, under the same lock
//   which jobs run or wait          jobs (job_scheduler, its own lock)
// A job thread holds a shared_ptr to its device, so the device outlives every job
// thread even when its owner lets go of it while a job runs.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "drives/drives.h"
#include "drives/phydrive.h"
#include "flash/job_progress.h"
#include "flash/job_scheduler.h"
#include "flash/statistics_record.h"

// Called on the job thread as its very last step, after the thread has let go of the device.
using job_end_callback = std::function<void()>;

// The settings a job works with, copied when its thread begins.
struct job_settings {
  phydrive drive;
  std::string password;
  std::string image_path;
  std::uint64_t image_size = 0;
  std::uint64_t block_size = 0;
};

class flash_device_basic {
 public:
  physical_drives drive_model;

  phydrive drive;
  std::string password;
  std::string image_path;
  std::uint64_t image_size = 0;
  std::uint64_t write_block_size = 0;
  std::atomic<bool> cancel_write{false};
  std::uint64_t validate_block_size = 0;
  std::atomic<bool> cancel_validate{false};
  statistics_record write_stats;
  statistics_record validate_stats;
  job_progress write_progress;
  job_progress validate_progress;

  // Pause between the end of the write and the permission restore, letting the
  // kernel and udev settle on the rewritten partition table.
  std::uint32_t end_pause_ms = 1600;

  // Chooses the target drive by any name drives::get_drive accepts.
  void set_drive(std::string key);
  // Chooses the image file and records its size.
  void set_image(std::string path);
  // Stores the sudo password, then probes it; throws "invalid sudo password".
  void set_password(std::string new_password);
  void set_write_block_size(std::uint64_t bytes);
  void set_validate_block_size(std::uint64_t bytes);

  // Raise a job's cancel flag; a running job stops after its current block, a
  // waiting one before it touches the drive.
  void request_cancel_write();
  void request_cancel_validate();

 protected:
  // Throws "a job is running on this device" when any job runs or waits.
  void refuse_while_any_job() const;
  job_settings settings_for(job_kind kind) const;

  mutable std::mutex settings_mutex;
  job_scheduler jobs;
};

class flash_device_platform : public flash_device_basic {
 public:
  // Opens the drive's node to other users (mode "o+w", "o-w", "o+r", "o-r") through
  // sudo chmod; every problem is recorded in write_stats.
  void set_permissions(phydrive target, std::string mode, const std::string& sudo_password);

 protected:
  // The body of the write job.
  void write_drive(const job_settings& settings);
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

  // The body of the validation job.
  void validate(std::string report_path);

 private:
  void write_start_checks() const;
  void validate_start_checks() const;
  // Claims the job, runs its checks, resets its cancel flag and statistics, starts it.
  void start_job(job_kind kind, job_end_callback on_end, std::string report_path);
  void start_thread(job_kind kind, job_end_callback on_end, std::string report_path);
  void run_job(job_kind kind, const std::string& report_path);
};
