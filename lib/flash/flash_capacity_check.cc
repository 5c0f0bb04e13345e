// The capacity check's step in the write job: after the image's first chunk decoded and
// the drive was opened to the job, before the image's first byte.
#include <fcntl.h>

#include <cerrno>
#include <string>

#include "device/block_io.h"
#include "device/capacity_check.h"
#include "flash/flash_device.h"

namespace {

// What the image writes over: the whole image (its last block padded), or the ranges
// of its block map; nothing where its size is unknown.
capacity_check::byte_ranges image_writes(const image_pipeline& image) {
  capacity_check::byte_ranges ranges;
  if (image.map()) {
    for (const auto& range : image.map()->ranges) ranges.emplace_back(range.start, range.end);
  } else if (image.info().size) {
    ranges.emplace_back(0, *image.info().size);
  }
  return ranges;
}

}  // namespace

bool flash_device_platform::capacity_confirmed(const job_settings& job, const image_pipeline& image) {
  if (!job.capacity_check) return true;
  // Opened as the write opens the drive: exclusively, so nothing else uses it meanwhile.
  block_io::unique_fd device(::open(job.drive.path.c_str(), O_RDWR | O_DSYNC | O_EXCL | O_CLOEXEC));
  if (!device.valid()) {
    throw coded_error(reason::write, "failed to open device: " + block_io::last_error_text(), errno);
  }
  const capacity_check::verdict verdict = capacity_check::run(device.get(), job.drive.disk_size, image_writes(image));
  if (!verdict.holds_all) {
    write_stats.error_queue(reason::capacity, "drive holds fewer bytes than it reports (about " +
                                                  std::to_string(verdict.usable_estimate) + " bytes usable)");
  }
  return verdict.holds_all;
}
