#include "finish/gpt_step.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "finish/drive_access.h"

namespace {

gpt_relocation plan_for(int device) {
  const off_t size = ::lseek(device, 0, SEEK_END);
  if (size <= 0) throw coded_error(reason::verify, "failed to determine the size of the device", errno);
  return plan_gpt_relocation(reader_of(device), logical_sector_size(device), static_cast<std::uint64_t>(size));
}

}  // namespace

gpt_record move_gpt_backup_to_end(const held_drive& drive, std::uint64_t image_end, std::optional<coded_error>& failure) {
  gpt_record record;
  try {
    const gpt_relocation plan = plan_for(drive.fd());
    if (plan.writes.empty()) {
      record.message = plan.left_alone;
      return record;
    }
    write_and_check(drive, plan.writes);
    for (const sector_write& w : plan.writes) record.sectors.push_back({w.offset, w.bytes.size()});
    std::sort(record.sectors.begin(), record.sectors.end(),
              [](const byte_range& a, const byte_range& b) { return a.offset < b.offset; });
    for (const byte_range& r : record.sectors) {
      if (r.offset < image_end) record.image_sectors.push_back({r.offset, std::min(r.end(), image_end) - r.offset});
    }
    record.status = step_status::done;
    record.message = "the backup GPT moved to the drive's last sectors";
  } catch (const std::exception& e) {
    failure = coded(e, reason::write, "the move of the backup GPT on " + drive.path());
    record.status = step_status::failed;
    record.message = failure->what();
  }
  return record;
}
