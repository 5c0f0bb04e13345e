#pragma once
// A flash_statistics record shared between its job thread (the writer) and the
// JavaScript thread (the reader). Every access goes through the record's own lock,
// so a rendering always shows whole figures and a whole error text.
#include <mutex>
#include <string>
#include <utility>

#include "flash/flash_statistics.h"

class statistics_record {
 public:
  // Runs `change` on the figures under the lock; keep it short (no I/O).
  template <class Change>
  void update(Change&& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(figures_);
  }

  void error_queue(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    figures_.error_queue(std::move(text));
  }

  std::string get_json() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return figures_.get_json();
  }

  flash_statistics snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return figures_;
  }

 private:
  mutable std::mutex mutex_;
  flash_statistics figures_;
};
