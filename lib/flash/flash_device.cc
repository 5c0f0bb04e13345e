#include "flash/flash_device.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "backup/output_place.h"
#include "device/block_io.h"
#include "finish/eject_step.h"
#include "finish/gpt_step.h"
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
  if (!write_rules::may_target(drive)) refuse(reason::no_drive, "drive is not external/removable");
  if (password.empty() && !privileges::is_root()) refuse(reason::password, "password is not set");
  if (image_path.empty()) refuse(reason::image, "no image file provided");
  if (source && *source == drive) refuse(reason::no_drive, "the source drive cannot be a target");
  if (!image_checks.keyring.empty() && image_checks.checksums.empty()) refuse(reason::signature, keyring_alone);
  if (!write_rules::block_size_problem(write_block_size, drive).empty()) {
    refuse(reason::write, "invalid write block size");
  }
  if (!write_rules::image_fits(known_image_size(), drive)) refuse(reason::too_small, "drive is too small for given image");
  if (block_map && image_info.size) block_map->check_fits(*image_info.size);
  check_file_partitions(plan_for(write_block_size), finish.files);
}

void flash_device::validate_start_checks() const {
  if (image_path.empty()) refuse(reason::image, "no image file provided");
  if (!image_checks.keyring.empty() && image_checks.checksums.empty()) refuse(reason::signature, keyring_alone);
  if (!write_rules::block_size_problem(validate_block_size, drive).empty()) {
    refuse(reason::verify, "invalid read block size");
  }
  if (block_map && image_info.size) block_map->check_fits(*image_info.size);
  check_file_partitions(plan_for(validate_block_size), finish.files);
}

void flash_device::backup_start_checks() const {
  if (!drive_model.contains(drive)) refuse(reason::no_drive, "required drive is unavailable or not set");
  if (!write_rules::may_target(drive)) refuse(reason::no_drive, "drive is not external/removable");
  if (password.empty() && !privileges::is_root()) refuse(reason::password, "password is not set");
  if (!backup_settings) refuse(reason::output, "no output file provided");
  const backup::backup_options& chosen = *backup_settings;
  for (const std::string& path : chosen.files()) {
    backup::check_output_path(path, chosen.overwrite);
    if (backup::lies_on_drive(path, drive)) refuse(reason::output, path + " lies on the drive being read");
  }
}

void flash_device::write_async(job_end_callback on_end) { start_job(job_kind::write, std::move(on_end), {}); }

void flash_device::validate_async(job_end_callback on_end, std::string report_path) {
  start_job(job_kind::validate, std::move(on_end), std::move(report_path));
}

void flash_device::backup_async(job_end_callback on_end) { start_job(job_kind::backup, std::move(on_end), {}); }

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
  jobs.claim(kind);
  try {
    switch (kind) {
      case job_kind::write: write_start_checks(); break;
      case job_kind::validate: validate_start_checks(); break;
      case job_kind::backup: backup_start_checks(); break;
    }
  } catch (...) {
    jobs.abandon(kind);
    throw;
  }
  cancel_flag(kind) = false;
  if (kind == job_kind::write) last_write.reset();
  statistics_record& stats = stats_of(kind);
  stats.update([](flash_statistics& s) { s.reset(); });
  if (kind == job_kind::backup) {
    // The extent is known once the job has read the partition table.
    stats.progress.reset(0);
    stats.update_report([this](job_report& r) {
      r = job_report{};
      r.image_format = backup::format_name(backup_settings->format);
      r.block_map = backup_settings->block_map;
      r.backup = backup_files{backup_settings->output,
                              backup_settings->extent == backup::extent_kind::whole ? "whole" : "partitions"};
    });
    return;
  }
  stats.progress.reset(block_map ? block_map->mapped_bytes : image_info.size.value_or(0));
  stats.update_report([this, kind](job_report& r) {
    r = job_report{};
    r.image_format = image::format_name(image_info.format);
    r.image_size = known_image_size();
    r.block_map = block_map != nullptr;
    if (kind == job_kind::validate) r.steps = finish_records{};
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
    std::size_t most_held = 0;
    for (const auto& d : devices) most_held = std::max(most_held, chunks_held(d->drive, d->mode_of_write, d->write_block_size));
    image_plan plan = first.plan_for(first.write_block_size);
    // The one opening of the image serves every drive: it gives up once all are cancelled.
    plan.request.cancelled = [devices] {
      return std::all_of(devices.begin(), devices.end(), [](const auto& d) { return d->cancel_write.load(); });
    };
    const auto group = std::make_shared<write_group>(std::move(plan), devices.size(), most_held);
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
  const std::atomic<bool>& cancel = cancel_flag(kind);
  statistics_record& stats = stats_of(kind);
  const reason otherwise = kind == job_kind::write ? reason::write : kind == job_kind::validate ? reason::verify : reason::read;

  bool held_device = false;
  try {
    const auto waited_from = clock_type::now();
    held_device = jobs.acquire_device(kind, cancel);
    if (!held_device) {
      stats.update([&](flash_statistics& s) { s.close(waited_from, true); });
    } else if (kind == job_kind::write) {
      job_settings job = settings_for(job_kind::write);
      job.group = membership.get();
      write_drive(job);
    } else if (kind == job_kind::validate) {
      validate(report_path);
    } else {
      back_up(settings_for(job_kind::backup));
    }
  } catch (const std::exception& e) {
    stats.error_queue(e, otherwise);
  } catch (...) {
    stats.error_queue(otherwise, "unknown failure of the job");
  }
  jobs.finish(kind, held_device);
}

namespace {

step_record skipped(const char* why) { return {step_status::skipped, why}; }

}  // namespace

finish_records flash_device::run_steps(const job_settings& job, const held_drive& drive, const verification_pass& first,
                                       std::uint64_t image_end, const std::function<verification_pass()>& verify_again,
                                       verification_pass& last) {
  finish_records steps;
  std::optional<coded_error> failure;
  const repair_target target{drive, job.drive.disk_size, job.image, image_end};
  steps.repair = repair_differences(target, job.finish.repair_attempts, first, verify_again, cancel_validate, failure);
  const auto record_failure = [&] {
    if (failure) validate_stats.error_queue(*failure, reason::verify);
  };
  record_failure();
  // The steps that change the drive further need it to hold the image.
  const bool holds_image = last.complete && last.differing_bytes == 0 && !failure && !cancel_validate;
  const char* not_held = "the drive does not hold the image";
  if (!job.finish.fix_gpt) {
    steps.gpt.message = "not asked for";
  } else if (!holds_image) {
    static_cast<step_record&>(steps.gpt) = skipped(not_held);
  } else {
    steps.gpt = move_gpt_backup_to_end(drive, image_end, failure);
    record_failure();
  }
  if (job.finish.files.empty()) {
    steps.files.message = "none given";
  } else if (!holds_image || failure) {
    static_cast<step_record&>(steps.files) = skipped(not_held);
  } else {
    steps.files = write_first_boot_files(drive, job.finish.files, failure);
    record_failure();
  }
  return steps;
}

void flash_device::validate(std::string report_path) {
  auto start = clock_type::now();
  job_settings job;
  loop_outcome compared;
  verification_pass last;
  finish_records steps;
  bool failed = false;
  std::unique_ptr<node_access> access;
  std::optional<held_drive> held;
  try {
    job = settings_for(job_kind::validate);
    const phydrive listed = listed_now(job.drive);
    try {
      unmount(listed, reason::verify);
    } catch (const std::exception& e) {
      validate_stats.error_queue(e, reason::verify);  // the verification reads all the same
    }
    const bool steps_write = job.finish.writes();
    if (!privileges::is_root()) {
      access = std::make_unique<node_access>(listed.path, steps_write ? "rw" : "r", job.password, validate_stats);
    }
    // Held from here: nothing can be mounted from the drive before the steps are done.
    if (steps_write) {
      held.emplace(job.drive.path);
    } else {
      held.emplace();
    }

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

    const auto compare_whole = [&](mismatch_report& report) {
      if (written && device.valid()) {
        return compare_by_hashes(job, *written, device.get(), device_block.get(), validate_stats, cancel_validate, report);
      }
      if (image && device.valid()) {
        const loop_outcome outcome =
            compare_image(job, *image, device.get(), device_block.get(), validate_stats, cancel_validate, report);
        note_source(*image, job.image.request, validate_stats);
        return outcome;
      }
      return loop_outcome{};
    };
    mismatch_report report(report_path);
    start = clock_type::now();
    validate_stats.update_report([](job_report& r) { r.phase = job_phase::data; });
    compared = compare_whole(report);
    report.close();
    const std::optional<std::uint64_t> known_end = image ? image->size() : job.image.size();
    const std::uint64_t image_end = known_end.value_or(compared.bytes);
    last = {compared.complete, compared.mismatches, report.sectors().ranges(image_end)};

    // Each repair pass verifies the whole image again: a write can land elsewhere on a
    // counterfeit drive.
    const auto verify_again = [&] {
      validate_stats.progress.bytes = 0;
      if (device.valid()) block_io::drop_cached_pages(device.get());
      if (!written) image = std::make_unique<image_pipeline>(job.image);
      mismatch_report again({});
      compared = compare_whole(again);
      last = {compared.complete, compared.mismatches, again.sectors().ranges(image_end)};
      return last;
    };
    validate_stats.update_report([](job_report& r) { r.phase = job_phase::steps; });
    const verification_pass first = last;
    steps = run_steps(job, *held, first, image_end, verify_again, last);
  } catch (const std::exception& e) {
    validate_stats.error_queue(e, reason::verify, "the verification of " + job.image.request.location + " on " + job.drive.path);
  } catch (...) {
    validate_stats.error_queue(reason::verify, "unknown failure of the validation job");
  }
  validate_stats.update_report([&](job_report& r) {
    r.phase = job_phase::finish;
    failed = std::any_of(r.errors.begin(), r.errors.end(), [](const job_error& e) { return e.phase != job_phase::finish; });
  });

  held.reset();
  try {
    if (access) access->restore();
  } catch (const std::exception& e) {
    validate_stats.error_queue(e, reason::verify);
  }
  // Last of all: the drive goes away with it.
  if (!job.finish.eject) {
    steps.eject.message = "not asked for";
  } else if (failed || !compared.complete || last.differing_bytes != 0 || cancel_validate) {
    steps.eject = skipped("not ejected: the job did not succeed");
  } else {
    steps.eject = eject_drive(job.drive.path);
  }

  validate_stats.update([&](flash_statistics& s) {
    s.numwriteerrs = last.differing_bytes;
    s.close(start, cancel_validate);
  });
  validate_stats.update_report([&](job_report& r) {
    r.data_complete = compared.complete;
    r.bytes = compared.bytes;
    r.differing = last.ranges;
    r.steps = steps;
  });
}
