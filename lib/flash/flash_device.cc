#include "flash/flash_device.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <thread>

#include "device/block_io.h"
#include "flash/mismatch_report.h"
#include "support/privileges.h"

using block_io::unique_fd;
using clock_type = flash_statistics::clock;

namespace {

// A refused write start is also echoed to standard error.
[[noreturn]] void refuse_start(const std::string& message) {
  std::cerr << message << std::endl;
  throw std::runtime_error(message);
}

bool is_multiple(std::uint64_t value, std::uint64_t unit) { return value != 0 && unit != 0 && value % unit == 0; }

}  // namespace

void flash_device::write_start_checks() const {
  if (!drive_model.contains(drive)) refuse_start("required drive is unavailable or not set");
  if (!drive.is_external_or_removable()) refuse_start("drive is not external/removable");
  if (password.empty() && !privileges::is_root()) refuse_start("password is not set");
  if (image_path.empty()) refuse_start("no image file provided");
  if (!is_multiple(write_block_size, drive.block_size)) refuse_start("invalid write block size");
  if (image_size >= drive.disk_size) refuse_start("drive is too small for given image");
}

void flash_device::validate_start_checks() const {
  if (image_path.empty()) throw std::runtime_error("no image file provided");
  if (!is_multiple(validate_block_size, drive.block_size)) throw std::runtime_error("invalid read block size");
}

void flash_device::write_async(job_end_callback on_end) { start_job(job_kind::write, std::move(on_end), {}); }

void flash_device::validate_async(job_end_callback on_end, std::string report_path) {
  start_job(job_kind::validate, std::move(on_end), std::move(report_path));
}

void flash_device::start_job(job_kind kind, job_end_callback on_end, std::string report_path) {
  const bool writing = kind == job_kind::write;
  std::lock_guard<std::mutex> lock(settings_mutex);
  jobs.claim(kind);
  try {
    writing ? write_start_checks() : validate_start_checks();
    (writing ? cancel_write : cancel_validate) = false;
    (writing ? write_stats : validate_stats).update([](flash_statistics& s) { s.reset(); });
    job_progress& progress = writing ? write_progress : validate_progress;
    progress.bytes = 0;
    progress.total = image_size;
    start_thread(kind, std::move(on_end), std::move(report_path));
  } catch (...) {
    jobs.abandon(kind);
    throw;
  }
}

void flash_device::start_thread(job_kind kind, job_end_callback on_end, std::string report_path) {
  std::thread([self = shared_from_this(), kind, on_end = std::move(on_end),
               report_path = std::move(report_path)]() mutable {
    self->run_job(kind, report_path);
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
void flash_device::run_job(job_kind kind, const std::string& report_path) {
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
      write_drive(settings_for(job_kind::write));
    } else {
      validate(report_path);
    }
  } catch (const std::exception& e) {
    stats.error_queue(e.what());
  } catch (...) {
    stats.error_queue("unknown failure of the job");
  }
  jobs.finish(kind, held_device);
}

namespace {

struct comparison {
  std::uint64_t mismatches = 0;
};

// Counts (and reports) the differing bytes of two buffers that both hold `count`
// bytes read from the medium. memcmp finds the equal blocks at memory speed.
void compare_bytes(const std::uint8_t* image, const std::uint8_t* device, std::size_t count,
                   std::uint64_t block_start, std::uint64_t block, mismatch_report& report, comparison& result) {
  if (std::memcmp(image, device, count) == 0) return;
  for (std::size_t j = 0; j < count; ++j) {
    if (image[j] != device[j]) {
      result.mismatches += 1;
      report.add(block_start + j, block, j, device[j], image[j]);
    }
  }
}

std::string short_read(const char* what, const std::string& block, std::size_t got, std::uint64_t wanted) {
  return std::string("failed to read ") + what + " block " + block + " with " + std::to_string(got) + "/" +
         std::to_string(wanted) + " bytes";
}

// The two open files of a validation and a block buffer for each.
struct read_back_sides {
  int image_fd;
  int device_fd;
  std::uint8_t* image;
  std::uint8_t* device;
};

// Compares the drive with the image block by block. Only bytes really read from
// both sides are compared: a side that ends early is recorded and ends the comparison.
void compare_blocks(const job_settings& job, const read_back_sides& sides, statistics_record& stats,
                    const std::atomic<bool>& cancel, mismatch_report& report, comparison& result,
                    job_progress& progress) {
  const std::uint64_t block_size = job.block_size;
  const std::uint64_t whole_blocks = job.image_size / block_size;
  const std::uint64_t residual = job.image_size - whole_blocks * block_size;
  const int image_fd = sides.image_fd;
  const int device_fd = sides.device_fd;
  std::uint8_t* const image = sides.image;
  std::uint8_t* const device = sides.device;
  auto previous_sample = clock_type::now();

  for (std::uint64_t i = 0; i < whole_blocks; ++i) {
    const std::size_t image_got = block_io::read_full(image_fd, image, block_size);
    const std::size_t device_got = block_io::read_full(device_fd, device, block_size);
    compare_bytes(image, device, std::min(image_got, device_got), i * block_size, i, report, result);
    if (image_got != block_size) {
      stats.error_queue(short_read("image", "#" + std::to_string(i), image_got, block_size));
      return;
    }
    if (device_got != block_size) {
      stats.error_queue(short_read("device", "#" + std::to_string(i), device_got, block_size));
      return;
    }
    stats.update([&](flash_statistics& s) {
      if (!s.sample_due(i)) return;
      s.take_sample(i, whole_blocks, block_size, previous_sample);
      s.numwriteerrs = result.mismatches;
    });
    progress.bytes += block_size;
    if (cancel) return;
  }
  if (residual == 0 || cancel) return;

  const std::size_t image_got = block_io::read_full(image_fd, image, residual);
  // Whole sectors from the device, as direct reads need; only the image's bytes count.
  const std::size_t device_got =
      std::min(block_io::read_full(device_fd, device, block_io::whole_sectors(image_got)), image_got);
  compare_bytes(image, device, std::min(image_got, device_got), whole_blocks * block_size, whole_blocks, report,
                result);
  progress.bytes += std::min(image_got, device_got);
  std::uint64_t image_residual = image_got;
  if (image_got == residual) {
    // An image that grew since it was chosen holds more than the residual bytes.
    std::uint8_t extra[4096];
    for (std::size_t n; (n = block_io::read_full(image_fd, extra, sizeof extra)) > 0;) image_residual += n;
  }
  if (image_residual != residual) {
    stats.error_queue("inconsistent number of residual bytes: " + std::to_string(image_residual) +
                      " != " + std::to_string(residual));
  } else if (device_got != image_got) {
    stats.error_queue(short_read("device", "#" + std::to_string(whole_blocks), device_got, residual));
  }
}

}  // namespace

void flash_device::validate(std::string report_path) {
  auto start = clock_type::now();
  job_settings job;
  comparison result;
  bool opened_node = false;
  try {
    drive_model.update(false);
    job = settings_for(job_kind::validate);
    try {
      drive_model.unmount(job.drive.identifier);
    } catch (const std::runtime_error& e) {
      validate_stats.error_queue(std::string("failed to unmount device: ") + e.what());
    }
    if (!privileges::is_root()) {
      opened_node = true;
      set_permissions(job.drive, "o+r", job.password);
    }

    block_io::aligned_buffer image_block(job.block_size);
    block_io::aligned_buffer device_block(job.block_size);
    unique_fd image(::open(job.image_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!image.valid()) validate_stats.error_queue("failed to open image file");
    // What the medium holds, not the kernel's cached copy of what was just written.
    unique_fd device(block_io::open_for_read_back(job.drive.rawpath, device_block.get()));
    if (!device.valid()) validate_stats.error_queue("failed to open device");
    mismatch_report report(report_path);

    start = clock_type::now();
    if (image.valid() && device.valid()) {
      const read_back_sides sides{image.get(), device.get(), image_block.get(), device_block.get()};
      compare_blocks(job, sides, validate_stats, cancel_validate, report, result, validate_progress);
    }
    report.close();
  } catch (const std::exception& e) {
    validate_stats.error_queue(e.what());
  } catch (...) {
    validate_stats.error_queue("unknown failure of the validation job");
  }

  validate_stats.update([&](flash_statistics& s) {
    s.numwriteerrs = result.mismatches;
    s.close(start, cancel_validate);
  });

  try {
    if (opened_node) set_permissions(job.drive, "o-r", job.password);
  } catch (const std::exception& e) {
    validate_stats.error_queue(e.what());
  }
}
