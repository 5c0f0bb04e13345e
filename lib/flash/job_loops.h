#pragma once
// The block work of the jobs, each a loop over image → ring → device, or for a backup
// drive → ring → encoder and file.
#include <atomic>
#include <cstdint>

#include "backup/backup_sink.h"
#include "backup/staged_file.h"
#include "flash/flash_device.h"
#include "flash/image_pipeline.h"
#include "flash/mismatch_report.h"
#include "flash/write_record.h"

// What a job's block work did: `complete` when every byte of the image was written (or
// compared) without an error and without a cancel.
struct loop_outcome {
  bool complete = false;
  std::uint64_t bytes = 0;       // image bytes written, or compared
  std::uint64_t mismatches = 0;  // differing bytes (comparisons)
};

// The writes a job keeps in flight on its drive: the device's queue depth for a direct
// write (queue_depth), one for a synchronous one.
unsigned writes_in_flight(const phydrive& drive, write_mode mode, std::uint64_t block_size);
// The image chunks a write job holds at most at once: its writes in flight and the one
// it prepares, and never fewer than the pipeline's ring_depth.
std::size_t chunks_held(const phydrive& drive, write_mode mode, std::uint64_t block_size);
inline std::size_t chunks_held(const job_settings& job) { return chunks_held(job.drive, job.mode, job.block_size); }

// Opens the drive and writes the image's chunks (those of taker `taker`) onto it, each
// at its own offset, and records each block's hash in `record`. Throws "failed to open device: ..."; every
// other failure is recorded in `stats`.
loop_outcome write_image(const job_settings& job, image_pipeline& image, std::size_t taker, statistics_record& stats,
                 const std::atomic<bool>& cancel, write_record& record);

// Compares the drive with the image's chunks; each differing byte is listed in `report`. `device_buffer` holds a block and is page-aligned.
// Every failure is recorded in `stats`; `numwriteerrs` follows the count at each sample.
loop_outcome compare_image(const job_settings& job, image_pipeline& image, int device_fd,
                            std::uint8_t* device_buffer, statistics_record& stats, const std::atomic<bool>& cancel,
                            mismatch_report& report);

// Compares the drive with the hashes `record` kept of a write: reads the drive alone,
// several reads in flight, and where a block's hash differs compares that block with
// the image to count its differing bytes exactly. Same results as compare_image.
loop_outcome compare_by_hashes(const job_settings& job, const write_record& record, int device_fd,
                                std::uint8_t* device_buffer, statistics_record& stats,
                                const std::atomic<bool>& cancel, mismatch_report& report);

// Takes the drive's chunks from `drive` (the drive read as an image) into `sink` up to
// the extent, a failure or a cancel. A read failure is recorded in `stats`; a failure
// of the output is thrown (coded_error, EOUTPUT). `output` is the file the live count
// of output bytes follows.
loop_outcome read_drive(const job_settings& job, image_pipeline& drive, backup::backup_sink& sink,
                        const backup::staged_file& output, statistics_record& stats, const std::atomic<bool>& cancel);
