#include "finish/gpt_step.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "device/block_io.h"
#include "finish/drive_access.h"

namespace {

gpt_relocation plan_for(const std::string& device_path) {
  block_io::unique_fd device(::open(device_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!device.valid()) throw coded_error(reason::verify, "failed to open device", errno);
  const off_t size = ::lseek(device.get(), 0, SEEK_END);
  if (size <= 0) throw coded_error(reason::verify, "failed to determine the size of the device", errno);
  return plan_gpt_relocation(reader_of(device.get()), logical_sector_size(device.get()), static_cast<std::uint64_t>(size));
}

}  // namespace

gpt_record move_gpt_backup_to_end(const std::string& device_path, std::uint64_t image_end,
                                  const std::function<void()>& before_writing, std::optional<coded_error>& failure) {
  gpt_record record;
  try {
    const gpt_relocation plan = plan_for(device_path);
    if (plan.writes.empty()) {
      record.message = plan.left_alone;
      return record;
    }
    before_writing();
    write_and_check(device_path, plan.writes);
    for (const sector_write& w : plan.writes) record.sectors.push_back({w.offset, w.bytes.size()});
    std::sort(record.sectors.begin(), record.sectors.end(),
              [](const byte_range& a, const byte_range& b) { return a.offset < b.offset; });
    for (const byte_range& r : record.sectors) {
      if (r.offset < image_end) record.image_sectors.push_back({r.offset, std::min(r.end(), image_end) - r.offset});
    }
    record.status = step_status::done;
    record.message = "the backup GPT moved to the drive's last sectors";
  } catch (const coded_error& e) {
    failure = e;
    record.status = step_status::failed;
    record.message = e.what();
  }
  return record;
}
