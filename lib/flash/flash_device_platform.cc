
#include <memory>
#include <stdexcept>

#include "device/block_io.h"
#include "flash/flash_device.h"
#include "flash/job_loops.h"
#include "support/privileges.h"
#include "support/shell.h"
#include "support/thread_sleep.h"

using clock_type = flash_statistics::clock;

void flash_device_platform::set_permissions(phydrive target, std::string mode, const std::string& sudo_password,
                                            statistics_record* stats) {
  statistics_record& record = stats != nullptr ? *stats : write_stats;
  // chmod only ever touches the node of a drive that the current listing still shows.
  if (!drive_model.contains(target)) {
    record.error_queue(reason::no_drive, "required drive is not available or is not set");
    return;
  }
  if (sudo_password.empty()) record.error_queue(reason::password, "password is not set");
  const std::string command =
      "sudo -S -k chmod " + mode + " " + shell::quote(target.path) + " >>/dev/null 2>>/dev/null";
  if (shell::run_with_input(command, sudo_password + "\n") != 0) {
    record.error_queue(reason::password, "failed to alter permissions");
  }
}

void flash_device_platform::write_data(const job_settings& job, image_pipeline& image, std::size_t taker) {
  auto record = std::make_shared<write_record>();
  record->fingerprint = job.fingerprint;
  write_stats.update_report([](job_report& r) { r.phase = job_phase::data; });
  const loop_outcome written = write_image(job, image, taker, write_stats, cancel_write, *record);
  write_stats.update_report([&](job_report& r) {
    r.data_complete = written.complete;
    r.bytes = written.bytes;
  });
  if (written.complete) keep_write_record(std::move(record));
}

void flash_device_platform::write_drive(const job_settings& job) {
  auto start = clock_type::now();
  bool opened_node = false;
  try {
    if (!privileges::is_root()) {
      opened_node = true;
      set_permissions(job.drive, "o+w", job.password);
    }

    bool drive_free = true;
    try {
      drive_model.unmount(job.drive.identifier);
    } catch (const std::runtime_error& e) {
      write_stats.error_queue(reason::write, std::string("failed to unmount device: ") + e.what());
      drive_free = false;  // a file system may still be mounted: writing would corrupt it
    }

    start = clock_type::now();
    if (drive_free && job.group == nullptr) {
      image_pipeline image(job.image);
      if (capacity_confirmed(job)) write_data(job, image, 0);
    } else if (drive_free && capacity_confirmed(job) && !cancel_write) {
      // The image opens once every drive of the group has prepared.
      std::string failure;
      image_pipeline* image = job.group->join(failure);
      if (image == nullptr) throw coded_error(reason::image, failure);
      write_data(job, *image, job.group->taker());
      job.group->leave();
    }
  } catch (const std::exception& e) {
    write_stats.error_queue(e, reason::write);
  } catch (...) {
    write_stats.error_queue(reason::write, "unknown failure of the write job");
  }
  write_stats.update_report([](job_report& r) { r.phase = job_phase::finish; });

  write_stats.update([&](flash_statistics& s) { s.close(start, cancel_write); });
  thread_sleep::millisec(end_pause_ms);

  try {
    if (opened_node) set_permissions(job.drive, "o-w", job.password);
    drive_model.update(false);
    const phydrive refreshed = drive_model.get_drive(job.drive.identifier);
    std::lock_guard<std::mutex> lock(settings_mutex);
    drive = refreshed;
  } catch (const std::exception& e) {
    write_stats.error_queue(e, reason::write);
  } catch (...) {
    write_stats.error_queue(reason::write, "unknown failure of the write job");
  }
}
