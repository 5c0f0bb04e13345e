#include "flash/flash_device.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "device/block_io.h"
#include "flash/job_loops.h"
#include "flash/mismatch_report.h"
#include "flash/node_access.h"
#include "flash/opened_image.h"
#include "flash/write_rules.h"
#include "support/privileges.h"

using block_io::unique_fd;
using clock_type = flash_statistics::clock;

namespace {

[[noreturn]] void refuse(reason why, const std::string& message) { throw coded_error(why, message); }

const char* const keyring_alone = "a keyring is given without a checksums file to check";

}  // namespace

void flash_device::write_start_checks() const {
  if (!drive_model.contains(drive)) refuse(reason::no_drive, "required drive is unavailable or not set");
  if (!drive.is_external_or_removable()) refuse(reason::no_drive, "drive is not external/removable");
  if (password.empty() && !privileges::is_root()) refuse(reason::password, "password is not set");
  if (image_path.empty()) refuse(reason::image, "no image file provided");
  if (!image_checks.keyring.empty() && image_checks.checksums.empty()) refuse(reason::signature, keyring_alone);
  if (!write_rules::block_size_problem(write_block_size, drive).empty()) {
    refuse(reason::write, "invalid write block size");
  }
  if (!write_rules::image_fits(known_image_size(), drive)) refuse(reason::too_small, "drive is too small for given image");
  if (block_map && image_info.size) block_map->check_fits(*image_info.size);
}

void flash_device::validate_start_checks() const {
  if (image_path.empty()) refuse(reason::image, "no image file provided");
  if (!image_checks.keyring.empty() && image_checks.checksums.empty()) refuse(reason::signature, keyring_alone);
  if (!write_rules::block_size_problem(validate_block_size, drive).empty()) {
    refuse(reason::verify, "invalid read block size");
  }
  if (block_map && image_info.size) block_map->check_fits(*image_info.size);
}

void flash_device::write_async(job_end_callback on_end) { start_job(job_kind::write, std::move(on_end), {}); }

void flash_device::validate_async(job_end_callback on_end, std::string report_path) {
  start_job(job_kind::validate, std::move(on_end), std::move(report_path));
}

void flash_device::start_job(job_kind kind, job_end_callback on_end, std::string report_path) {
  std::lock_guard<std::mutex> lock(settings_mutex);
  claim_and_check(kind);
  try {
    start_thread(kind, std::move(on_end), std::move(report_path));
  } catch (...) {
    jobs.abandon(kind);
    throw;
  }
}

void flash_device::claim_and_check(job_kind kind) {
  const bool writing = kind == job_kind::write;
  jobs.claim(kind);
  try {
    writing ? write_start_checks() : validate_start_checks();
  } catch (...) {
    jobs.abandon(kind);
    throw;
  }
  (writing ? cancel_write : cancel_validate) = false;
  if (writing) last_write.reset();
  statistics_record& stats = writing ? write_stats : validate_stats;
  stats.update([](flash_statistics& s) { s.reset(); });
  stats.progress.bytes = 0;
  stats.progress.total = block_map ? block_map->mapped_bytes : image_info.size.value_or(0);
  stats.update_report([this](job_report& r) {
    r = job_report{};
    r.image_format = image::format_name(image_info.format);
    r.image_size = known_image_size();
    r.block_map = block_map != nullptr;
  });
}

void flash_device::write_group_async(const std::vector<std::shared_ptr<flash_device>>& devices,
                                     std::vector<job_end_callback> on_end) {
  if (devices.empty() || on_end.size() != devices.size()) throw std::invalid_argument("a group needs its drives");
  // Locked in address order, so that two groups sharing a device cannot lock each other out.
  std::vector<flash_device*> by_address;
  for (const auto& d : devices) by_address.push_back(d.get());
  std::sort(by_address.begin(), by_address.end());
  if (std::adjacent_find(by_address.begin(), by_address.end()) != by_address.end()) {
    refuse(reason::no_drive, "a drive is named twice in the group");
  }
  std::vector<std::unique_lock<std::mutex>> locks;
  for (flash_device* d : by_address) locks.emplace_back(d->settings_mutex);

  const flash_device& first = *devices.front();
  std::size_t claimed = 0;
  try {
    for (; claimed < devices.size(); ++claimed) {
      const flash_device& d = *devices[claimed];
      if (d.image_path != first.image_path || d.block_map_path != first.block_map_path ||
          d.write_block_size != first.write_block_size || d.image_checks.sha256 != first.image_checks.sha256 ||
          d.image_checks.checksums != first.image_checks.checksums || d.image_checks.keyring != first.image_checks.keyring) {
        refuse(reason::image, "the drives of a group write one image with one block size and block map");
      }
      try {
        devices[claimed]->claim_and_check(job_kind::write);
      } catch (const std::exception& e) {
        refuse(reason_of(e, reason::write), d.drive.path + ": " + e.what());
      }
    }
    const auto group = std::make_shared<write_group>(first.plan_for(first.write_block_size), devices.size());
    for (std::size_t i = 0; i < devices.size(); ++i) {
      devices[i]->start_thread(job_kind::write, std::move(on_end[i]), {}, group, i);
    }
  } catch (...) {
    for (std::size_t i = 0; i < claimed; ++i) devices[i]->jobs.abandon(job_kind::write);
    throw;
  }
}

void flash_device::start_thread(job_kind kind, job_end_callback on_end, std::string report_path,
                                std::shared_ptr<write_group> group, std::size_t group_drive) {
  std::thread([self = shared_from_this(), kind, on_end = std::move(on_end), report_path = std::move(report_path),
               group = std::move(group), group_drive]() mutable {
    self->run_job(kind, report_path, std::move(group), group_drive);
    self.reset();  // the device may end here, before its owner hears that the job ended
    if (!on_end) return;
    try {
      on_end();
    } catch (...) {
      // The owner's notification must not end the process.
    }
  }).detach();
}

// Runs on the job thread; nothing thrown here may leave it.
void flash_device::run_job(job_kind kind, const std::string& report_path, std::shared_ptr<write_group> group,
                           std::size_t group_drive) {
  // Held for the whole job: a drive whose job ends before it takes part still leaves,
  // so the others never wait for it.
  std::unique_ptr<group_membership> membership;
  if (group) membership = std::make_unique<group_membership>(std::move(group), group_drive);
  const bool writing = kind == job_kind::write;
  const std::atomic<bool>& cancel = writing ? cancel_write : cancel_validate;
  statistics_record& stats = writing ? write_stats : validate_stats;

  bool held_device = false;
  try {
    const auto waited_from = clock_type::now();
    held_device = jobs.acquire_device(kind, cancel);
    if (!held_device) {
      stats.update([&](flash_statistics& s) { s.close(waited_from, true); });
    } else if (writing) {
      job_settings job = settings_for(job_kind::write);
      job.group = membership.get();
      write_drive(job);
    } else {
      validate(report_path);
    }
  } catch (const std::exception& e) {
    stats.error_queue(e, writing ? reason::write : reason::verify);
  } catch (...) {
    stats.error_queue(writing ? reason::write : reason::verify, "unknown failure of the job");
  }
  jobs.finish(kind, held_device);
}

void flash_device::validate(std::string report_path) {
  auto start = clock_type::now();
  job_settings job;
  loop_outcome compared;
  std::unique_ptr<node_access> access;
  try {
    job = settings_for(job_kind::validate);
    const phydrive listed = listed_now(job.drive);
    try {
      unmount(listed, reason::verify);
    } catch (const std::exception& e) {
      validate_stats.error_queue(e, reason::verify);  // the verification reads all the same
    }
    if (!privileges::is_root()) access = std::make_unique<node_access>(listed.path, "r", job.password, validate_stats);

    // Right after a clean write of the same image onto the same drive, the drive alone
    // is read and compared with the hashes kept of what was written.
    const std::shared_ptr<const write_record> written = matching_write_record();
    std::unique_ptr<image_pipeline> image;
    try {
      if (!written) {
        image = std::make_unique<image_pipeline>(job.image);
        note_opened(*image, validate_stats);
      }
    } catch (const std::exception& e) {
      validate_stats.error_queue(e, reason::image);
    }
    block_io::aligned_buffer device_block(job.block_size);
    // What the medium holds, not the kernel's cached copy of what was just written.
    unique_fd device(block_io::open_for_read_back(job.drive.rawpath, device_block.get()));
    if (!device.valid()) validate_stats.error_queue(reason::verify, "failed to open device", errno);
    mismatch_report report(report_path);

    start = clock_type::now();
    validate_stats.update_report([](job_report& r) { r.phase = job_phase::data; });
    if (written && device.valid()) {
      compared = compare_by_hashes(job, *written, device.get(), device_block.get(), validate_stats, cancel_validate,
                                   report);
    } else if (image && device.valid()) {
      compared = compare_image(job, *image, device.get(), device_block.get(), validate_stats, cancel_validate, report);
      note_source(*image, job.image.request, validate_stats);
    }
    report.close();
  } catch (const std::exception& e) {
    validate_stats.error_queue(e, reason::verify);
  } catch (...) {
    validate_stats.error_queue(reason::verify, "unknown failure of the validation job");
  }

  validate_stats.update([&](flash_statistics& s) {
    s.numwriteerrs = compared.mismatches;
    s.close(start, cancel_validate);
  });
  validate_stats.update_report([&](job_report& r) {
    r.phase = job_phase::finish;
    r.data_complete = compared.complete;
    r.bytes = compared.bytes;
  });

  try {
    if (access) access->restore();
  } catch (const std::exception& e) {
    validate_stats.error_queue(e, reason::verify);
  }
}
