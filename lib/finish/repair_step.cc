#include "finish/repair_step.h"

#include <unistd.h>

#include <cerrno>

#include "device/block_io.h"
#include "finish/counterfeit_pattern.h"
#include "finish/repair_plan.h"

namespace {

// Writes `ranges` again from the image. Throws coded_error.
void write_again(const repair_target& target, const std::vector<byte_range>& ranges, const std::atomic<bool>& cancel) {
  image_plan plan = target.image;
  plan.map = repair_map(ranges, target.image_end, plan.block_size);
  const int device = target.drive.fd();
  image_pipeline image(plan);
  while (image_chunk* chunk = image.next()) {
    const std::uint64_t offset = chunk->offset;
    const bool image_short = chunk->length < chunk->expected;
    const std::size_t length = repair_write_length(offset, chunk->length, target.drive_size);
    const block_io::write_result result =
        image_short ? block_io::write_result{} : block_io::write_full_at(device, chunk->bytes.get(), length, offset);
    image.done(chunk);
    if (image_short) throw coded_error(reason::image, "failed to read the image again at byte " + std::to_string(offset));
    if (result.written != static_cast<std::int64_t>(length)) {
      throw coded_error(reason::write, "failed to write " + std::to_string(length) + " bytes again at " + std::to_string(offset),
                        result.error, offset);
    }
    if (cancel) break;
  }
  // The held descriptor is not O_DSYNC: what was written reaches the medium here,
  // before the verification reads it back.
  if (::fdatasync(device) != 0) throw coded_error(reason::write, "failed to flush the device", errno);
  if (cancel) return;
  if (const std::optional<coded_error> broken = image.failure()) throw *broken;
}

coded_error counterfeit(std::uint64_t usable) {
  return coded_error(reason::capacity,
                     "drive holds fewer bytes than it reports (about " + std::to_string(usable) + " bytes usable)");
}

}  // namespace

repair_record repair_differences(const repair_target& target, unsigned attempts, const verification_pass& first,
                                 const std::function<verification_pass()>& verify_again, const std::atomic<bool>& cancel,
                                 std::optional<coded_error>& failure) {
  repair_record record;
  record.first_pass_differing_bytes = first.differing_bytes;
  record.passes.push_back({first.differing_bytes, first.ranges});
  if (attempts == 0) {
    record.message = "no repair attempts allowed";
    return record;
  }
  if (!first.complete) {
    record.message = "the verification did not compare every byte";
    return record;
  }
  if (first.differing_bytes == 0) {
    record.message = "nothing differs";
    return record;
  }
  record.status = step_status::failed;
  std::vector<std::vector<byte_range>> seen{first.ranges};
  verification_pass current = first;
  for (unsigned attempt = 1; attempt <= attempts; ++attempt) {
    if (const auto usable = counterfeit_capacity(seen, target.image_end)) {
      failure = counterfeit(*usable);
      record.message = failure->what();
      return record;
    }
    try {
      write_again(target, current.ranges, cancel);
    } catch (const std::exception& e) {
      failure = coded(e, reason::write, "the repair of " + target.drive.path());
      record.message = failure->what();
      return record;
    }
    record.ranges = merged_ranges(record.ranges, current.ranges);
    if (cancel) {
      record.message = "cancelled";
      return record;
    }
    current = verify_again();
    record.passes.push_back({current.differing_bytes, current.ranges});
    seen.push_back(current.ranges);
    if (!current.complete) {
      record.message = "the verification after a repair did not compare every byte";
      return record;
    }
    if (current.differing_bytes == 0) {
      record.status = step_status::done;
      record.message = "repaired " + std::to_string(covered_bytes(record.ranges)) + " bytes in " + std::to_string(attempt) +
                       (attempt == 1 ? " pass" : " passes");
      return record;
    }
  }
  const auto usable = counterfeit_capacity(seen, target.image_end);
  failure = usable ? counterfeit(*usable)
                   : coded_error(reason::verify, std::to_string(current.differing_bytes) +
                                                     " bytes differ between the drive and the image after " +
                                                     std::to_string(attempts) + (attempts == 1 ? " repair" : " repairs"));
  record.message = failure->what();
  return record;
}
