#include "flash/job_loops.h"
#include "flash/progress_sampler.h"

loop_outcome read_drive(const job_settings& job, image_pipeline& drive, backup::backup_sink& sink,
                        const backup::staged_file& output, statistics_record& stats, const std::atomic<bool>& cancel) {
  loop_outcome outcome;
  progress_sampler sampler(drive, job.block_size);
  while (image_chunk* chunk = drive.next()) {
    sink.take(chunk->bytes.get(), chunk->length);
    outcome.bytes += chunk->length;
    stats.progress.bytes += chunk->length;
    stats.progress.output = output.size();
    if (!chunk->image_tail) stats.update([&](flash_statistics& s) { sampler.after_chunk(s, chunk->index); });
    drive.done(chunk);
    if (cancel) return outcome;
  }
  const std::optional<coded_error> failure = drive.failure();
  if (failure) stats.error_queue(*failure, reason::read);
  outcome.complete = !failure;
  return outcome;
}
