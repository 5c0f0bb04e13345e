#include <memory>
#include <stdexcept>

#include "device/block_io.h"
#include "flash/flash_device.h"
#include "flash/job_loops.h"
#include "flash/node_access.h"
#include "flash/opened_image.h"
#include "support/privileges.h"
#include "support/thread_sleep.h"

using clock_type = flash_statistics::clock;

phydrive flash_device_platform::listed_now(const phydrive& chosen) {
  drive_model.update(false);
  // Only the chosen drive, as this listing still shows it, is ever opened.
  if (!drive_model.contains(chosen)) {
    throw coded_error(reason::no_drive, "required drive is not available or is not set");
  }
  return drive_model.get_drive(chosen.identifier);
}

void flash_device_platform::unmount(const phydrive& listed, reason why) {
  try {
    drive_model.mount(listed, false, 0);
  } catch (const std::exception& e) {
    throw coded_error(why, std::string("failed to unmount device: ") + e.what());
  }
}

void flash_device_platform::write_data(const job_settings& job, image_pipeline& image, std::size_t taker) {
  auto record = std::make_shared<write_record>();
  record->fingerprint = job.fingerprint;
  write_stats.update_report([](job_report& r) { r.phase = job_phase::data; });
  const loop_outcome written = write_image(job, image, taker, write_stats, cancel_write, *record);
  note_source(image, job.image.request, write_stats);
  write_stats.update_report([&](job_report& r) {
    r.data_complete = written.complete;
    r.bytes = written.bytes;
  });
  if (written.complete) keep_write_record(std::move(record));
}

void flash_device_platform::write_drive(const job_settings& job) {
  auto start = clock_type::now();
  std::unique_ptr<node_access> access;
  bool touched_drive = false;
  try {
    // The image first: nothing touches the drive before the image's first chunk has
    // been read and decoded.
    std::unique_ptr<image_pipeline> own_image;
    image_pipeline& image =
        job.group ? job.group->image() : *(own_image = std::make_unique<image_pipeline>(job.image, 1, chunks_held(job)));
    image.check_readable();
    note_opened(image, write_stats);
    check_fits(image, job.drive);

    const phydrive listed = listed_now(job.drive);
    touched_drive = true;
    if (!privileges::is_root()) access = std::make_unique<node_access>(listed.path, "rw", job.password, write_stats);
    unmount(listed, reason::write);
    start = clock_type::now();
    if (capacity_confirmed(job, image) && !cancel_write) write_data(job, image, job.group ? job.group->taker() : 0);
  } catch (const std::exception& e) {
    write_stats.error_queue(e, reason::write);
  } catch (...) {
    write_stats.error_queue(reason::write, "unknown failure of the write job");
  }
  if (job.group) job.group->leave();
  write_stats.update_report([](job_report& r) { r.phase = job_phase::finish; });
  write_stats.update([&](flash_statistics& s) { s.close(start, cancel_write); });

  try {
    if (access) {
      // The kernel and udev settle on the rewritten partition table before the node's
      // access list changes again.
      thread_sleep::millisec(end_pause_ms);
      access->restore();
    }
    if (!touched_drive) return;
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
