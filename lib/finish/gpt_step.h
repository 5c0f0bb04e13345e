#pragma once
// The GPT step: moves the backup GPT of the written drive to its last sectors (see
// gpt_relocation.h), then reads the sectors written back off the medium.
#include <cstdint>
#include <optional>
#include <string>

#include "finish/held_drive.h"
#include "finish/step_records.h"
#include "support/coded_error.h"

// `image_end`: the end of the image on the drive; written sectors before it now
// differ from the image. A failure to write (EBUSY where the drive could not be held)
// goes to `failure`.
gpt_record move_gpt_backup_to_end(const held_drive& drive, std::uint64_t image_end, std::optional<coded_error>& failure);
