#pragma once
// The block work of the two jobs, each a loop over image → ring → device.
#include <atomic>
#include <cstdint>

#include "flash/flash_device.h"
#include "flash/image_pipeline.h"
#include "flash/mismatch_report.h"

// Writes the image's chunks onto the opened device, each at its own offset. Every
// failure is recorded in `stats`.
void write_image(const job_settings& job, image_pipeline& image, int device_fd, statistics_record& stats,
                 const std::atomic<bool>& cancel);

// Compares the drive with the image's chunks and returns the count of differing bytes,
// each also listed in `report`. `device_buffer` holds a block and is page-aligned.
// Every failure is recorded in `stats`; `numwriteerrs` follows the count at each sample.
std::uint64_t compare_image(const job_settings& job, image_pipeline& image, int device_fd,
                            std::uint8_t* device_buffer, statistics_record& stats, const std::atomic<bool>& cancel,
                            mismatch_report& report);
