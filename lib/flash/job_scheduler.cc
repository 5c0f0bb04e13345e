#include "flash/job_scheduler.h"

#include <stdexcept>

void job_scheduler::claim(job_kind kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (flag(kind)) throw std::runtime_error("a job is running on this device");
  flag(kind) = true;
}

void job_scheduler::abandon(job_kind kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  flag(kind) = false;
}

bool job_scheduler::active(job_kind kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return kind == job_kind::write ? write_active_ : validate_active_;
}

bool job_scheduler::any_active() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return write_active_ || validate_active_;
}

bool job_scheduler::acquire_device(const std::atomic<bool>& cancel) {
  std::unique_lock<std::mutex> lock(mutex_);
  device_freed_.wait(lock, [&] { return !device_held_ || cancel.load(); });
  if (device_held_) return false;  // woken by the cancel flag
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
  device_freed_.notify_all();
}
