#pragma once
// A flash_statistics record and its job report, shared between the job thread (the
// writer) and the JavaScript thread (the reader). Every access goes through the
// record's own lock, so a rendering always shows whole figures and a whole error text.
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "flash/flash_statistics.h"
#include "flash/job_progress.h"
#include "flash/job_report.h"
#include "support/coded_error.h"

class statistics_record {
 public:
  // Runs `change` on the figures under the lock; keep it short (no I/O).
  template <class Change>
  void update(Change&& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(figures_);
  }

  // Records an error in the statistics (the last one) and in the report (all of them),
  // with its reason, the system's error code and the drive offset where known.
  void error_queue(reason why, std::string text, int code = 0, std::optional<std::uint64_t> offset = std::nullopt) {
    std::lock_guard<std::mutex> lock(mutex_);
    report_.errors.push_back({report_.phase, why, text, code, offset});
    figures_.error_queue(std::move(text));
  }

  // Records what was thrown as coded() makes it, `input` naming what the job was on.
  void error_queue(const std::exception& error, reason otherwise, const std::string& input = "the job") {
    const coded_error known = coded(error, otherwise, input);
    error_queue(known.why(), known.what(), known.error_number(), known.offset());
  }

  // Runs `change` on the report under the lock.
  template <class Change>
  void update_report(Change&& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(report_);
  }

  std::string get_report_json() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return report_.json();
  }

  std::string get_json() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return figures_.get_json();
  }

  // The live byte count, outside the lock: read at any time for a progress bar.
  job_progress progress;

  flash_statistics snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return figures_;
  }

 private:
  mutable std::mutex mutex_;
  flash_statistics figures_;
  job_report report_;
};
