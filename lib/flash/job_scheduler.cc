#include "flash/job_scheduler.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "support/coded_error.h"

void job_scheduler::claim(job_kind kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (flag(kind)) throw coded_error(reason::busy, "a job is running on this device");
  flag(kind) = true;
  line_.push_back(kind);
}

void job_scheduler::abandon(job_kind kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  flag(kind) = false;
  leave_line(kind);
  device_freed_.notify_all();
}

bool job_scheduler::active(job_kind kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_[static_cast<int>(kind)];
}

bool job_scheduler::any_active() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::any_of(std::begin(active_), std::end(active_), [](bool on) { return on; });
}

bool job_scheduler::acquire_device(job_kind kind, const std::atomic<bool>& cancel) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A job started second may reach this point first: it still waits its turn, so a
  // validation queued behind a write never reads the drive before the write.
  device_freed_.wait(lock, [&] { return (!device_held_ && next_in_line(kind)) || cancel.load(); });
  if (device_held_ || !next_in_line(kind)) return false;  // woken by the cancel flag
  device_held_ = true;
  return true;
}

void job_scheduler::wake_waiting() {
  // Taking the lock orders the raised flag before the waiter's next predicate check.
  std::lock_guard<std::mutex> lock(mutex_);
  device_freed_.notify_all();
}

void job_scheduler::finish(job_kind kind, bool held_device) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (held_device) device_held_ = false;
  flag(kind) = false;
  leave_line(kind);
  device_freed_.notify_all();
}

void job_scheduler::leave_line(job_kind kind) {
  line_.erase(std::remove(line_.begin(), line_.end(), kind), line_.end());
}
