#include <fcntl.h>

#include <memory>
#include <stdexcept>

#include "device/block_io.h"
#include "flash/flash_device.h"
#include "support/privileges.h"
#include "support/shell.h"
#include "support/thread_sleep.h"

using block_io::unique_fd;
using clock_type = flash_statistics::clock;

void flash_device_platform::set_permissions(phydrive target, std::string mode,
                                            const std::string& sudo_password) {
  // chmod only ever touches the node of a drive that the current listing still shows.
  if (!drive_model.contains(target)) {
    write_stats.error_queue("required drive is not available or is not set");
    return;
  }
  if (sudo_password.empty()) write_stats.error_queue("password is not set");
  const std::string command =
      "sudo -S -k chmod " + mode + " " + shell::quote(target.path) + " >>/dev/null 2>>/dev/null";
  if (shell::run_with_input(command, sudo_password + "\n") != 0) {
    write_stats.error_queue("failed to alter permissions");
  }
}

namespace {

// Copies the image onto the opened device in whole blocks, the last one padded with
// zero bytes. Stops at the first block the image cannot deliver in full: the device
// never receives bytes that came neither from the image nor from the padding.
void write_blocks(const job_settings& job, int image_fd, int device_fd, statistics_record& stats,
                  const std::atomic<bool>& cancel, job_progress& progress) {
  const std::uint64_t block_size = job.block_size;
  const std::uint64_t whole_blocks = job.image_size / block_size;
  const std::uint64_t residual = job.image_size - whole_blocks * block_size;
  block_io::aligned_buffer buffer(block_size);
  auto previous_sample = clock_type::now();

  for (std::uint64_t i = 0; i < whole_blocks; ++i) {
    const std::size_t got = block_io::read_full(image_fd, buffer.get(), block_size);
    if (got != block_size) {
      stats.error_queue("failed to read image block #" + std::to_string(i) + " with " + std::to_string(got) +
                        "/" + std::to_string(block_size) + " bytes");
      return;
    }
    const std::int64_t written = block_io::write_full(device_fd, buffer.get(), block_size);
    if (written != static_cast<std::int64_t>(block_size)) {
      stats.error_queue("failed to write block #" + std::to_string(i) + " with " + std::to_string(written) +
                        "/" + std::to_string(block_size) + " bytes");
    }
    stats.update([&](flash_statistics& s) {
      if (s.sample_due(i)) s.take_sample(i, whole_blocks, block_size, previous_sample);
    });
    progress.bytes += block_size;
    if (cancel) return;
  }
  if (residual == 0 || cancel) return;

  const std::size_t got = block_io::read_full(image_fd, buffer.get(), residual);
  if (got != residual) {
    stats.error_queue("failed to read image residual block with " + std::to_string(got) + "/" +
                      std::to_string(residual) + " bytes");
    return;
  }
  std::fill(buffer.get() + residual, buffer.get() + block_size, std::uint8_t{0});
  const std::int64_t written = block_io::write_full(device_fd, buffer.get(), block_size);
  if (written != static_cast<std::int64_t>(block_size)) {
    stats.error_queue("failed to write residual block with " + std::to_string(written) + "/" +
                      std::to_string(block_size) + " bytes");
  }
  progress.bytes += residual;
}

}  // namespace

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
      write_stats.error_queue(std::string("failed to unmount device: ") + e.what());
      drive_free = false;  // a file system may still be mounted: writing would corrupt it
    }

    start = clock_type::now();
    if (drive_free) {
      unique_fd image(::open(job.image_path.c_str(), O_RDONLY | O_CLOEXEC));
      if (!image.valid()) {
        write_stats.error_queue("failed to open image file");
      } else {
        // O_EXCL: Linux refuses a block device that is mounted or otherwise claimed.
        unique_fd device(::open(job.drive.path.c_str(), O_WRONLY | O_DSYNC | O_EXCL | O_CLOEXEC));
        if (!device.valid()) {
          write_stats.error_queue("failed to open device: " + block_io::last_error_text());
        } else {
          write_blocks(job, image.get(), device.get(), write_stats, cancel_write, write_progress);
        }
      }
    }
  } catch (const std::exception& e) {
    write_stats.error_queue(e.what());
  } catch (...) {
    write_stats.error_queue("unknown failure of the write job");
  }

  write_stats.update([&](flash_statistics& s) { s.close(start, cancel_write); });
  thread_sleep::millisec(end_pause_ms);

  try {
    if (opened_node) set_permissions(job.drive, "o-w", job.password);
    drive_model.update(false);
    const phydrive refreshed = drive_model.get_drive(job.drive.identifier);
    std::lock_guard<std::mutex> lock(settings_mutex);
    drive = refreshed;
  } catch (const std::exception& e) {
    write_stats.error_queue(e.what());
  } catch (...) {
    write_stats.error_queue("unknown failure of the write job");
  }
}
