#pragma once
// The repair: what the verification found differing is written again from the image
// (decoded again, reaching only the ranges needed) and the whole image verified again,
// up to the attempts allowed. It stops with ECAPACITY as soon as the pattern of the
// differences is a counterfeit's, and with EVERIFY when ranges still differ at the end.
#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include "finish/held_drive.h"
#include "finish/step_records.h"
#include "flash/image_pipeline.h"
#include "support/coded_error.h"

struct verification_pass {
  bool complete = false;  // every byte was compared
  std::uint64_t differing_bytes = 0;
  std::vector<byte_range> ranges;
};

struct repair_target {
  const held_drive& drive;    // written through; EBUSY where it could not be held
  std::uint64_t drive_size = 0;
  image_plan image;            // its block size is the repair's read size
  std::uint64_t image_end = 0;  // end of the compared image bytes
};

// `first` is the verification's pass; `verify_again` runs the whole verification once
// more. The job's failure, if the repair leaves one, goes to `failure`.
repair_record repair_differences(const repair_target& target, unsigned attempts, const verification_pass& first,
                                 const std::function<verification_pass()>& verify_again, const std::atomic<bool>& cancel,
                                 std::optional<coded_error>& failure);
