#pragma once
// The GPT step: moves the backup GPT of the written drive to its last sectors (see
// gpt_relocation.h), then reads the sectors written back off the medium.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "finish/step_records.h"
#include "support/coded_error.h"

// `image_end`: the end of the image on the drive; written sectors before it now
// differ from the image. `before_writing` runs once there is something to write. A
// failure to write goes to `failure`.
gpt_record move_gpt_backup_to_end(const std::string& device_path, std::uint64_t image_end,
                                  const std::function<void()>& before_writing, std::optional<coded_error>& failure);
