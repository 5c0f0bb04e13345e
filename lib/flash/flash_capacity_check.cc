// The capacity check's step in the write job: after the image opened, before its first byte.
#include <fcntl.h>

#include <exception>
#include <string>

#include "device/block_io.h"
#include "device/capacity_check.h"
#include "flash/flash_device.h"
#include "support/privileges.h"

namespace {

// Below this the image overwrites every signature: nowhere where its size is unknown
// or a block map leaves ranges unwritten.
std::uint64_t signatures_overwritten_below(const job_settings& job) {
  return job.image.map ? 0 : job.image.info.size.value_or(0);
}

// Runs the check on the drive opened as the write opens it; a failure is its text.
std::string check(const job_settings& job, capacity_check::verdict& verdict) {
  block_io::unique_fd device(::open(job.drive.path.c_str(), O_WRONLY | O_DSYNC | O_EXCL | O_CLOEXEC));
  if (!device.valid()) return "failed to open device: " + block_io::last_error_text();
  try {
    verdict = capacity_check::run(device.get(), job.drive.disk_size, signatures_overwritten_below(job));
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

}  // namespace

bool flash_device_platform::capacity_confirmed(const job_settings& job) {
  if (!job.capacity_check) return true;
  // The check reads back through a second descriptor; a user's write job is only granted writing.
  const bool grant_read = !privileges::is_root();
  if (grant_read) set_permissions(job.drive, "o+r", job.password);
  capacity_check::verdict verdict;
  const std::string failure = check(job, verdict);
  if (grant_read) set_permissions(job.drive, "o-r", job.password);
  if (!failure.empty()) {
    write_stats.error_queue(reason::write, failure);
    return false;
  }
  if (!verdict.holds_all) {
    write_stats.error_queue(reason::capacity, "drive holds fewer bytes than it reports (about " +
                            std::to_string(verdict.usable_estimate) + " bytes usable)");
  }
  return verdict.holds_all;
}
