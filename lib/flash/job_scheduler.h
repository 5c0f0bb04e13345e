#pragma once
// One job at a time per device. A job is "active" from its accepted start until its
// thread has ended (end steps included). A start of a job kind that is already active
// is refused; a start of another kind is accepted and its thread waits until the
// running job's thread has let go of the device. The device goes to the jobs in the
// order of their starts, whichever thread happens to ask for it first.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

enum class job_kind { write, validate, backup };

class job_scheduler {
 public:
  // Marks `kind` active. Throws "a job is running on this device" when it already is.
  void claim(job_kind kind);
  // Takes back a claim whose job never got a thread.
  void abandon(job_kind kind);

  bool active(job_kind kind) const;
  bool any_active() const;

  // On the job thread: waits until no other job thread works on the device and no job
  // started earlier waits for it. Returns false, without taking the device, when
  // `cancel` is raised while waiting.
  bool acquire_device(job_kind kind, const std::atomic<bool>& cancel);
  // Wakes a waiting job so that it sees its raised cancel flag.
  void wake_waiting();
  // On the job thread, as its last step: frees the device and ends the job.
  void finish(job_kind kind, bool held_device);

 private:
  bool& flag(job_kind kind) { return active_[static_cast<int>(kind)]; }
  // Whether `kind` is the earliest started job still waiting for or holding the device.
  bool next_in_line(job_kind kind) const { return line_.empty() || line_.front() == kind; }
  void leave_line(job_kind kind);

  mutable std::mutex mutex_;
  std::condition_variable device_freed_;
  bool active_[3] = {false, false, false};  // by job_kind
  bool device_held_ = false;
  std::vector<job_kind> line_;  // active jobs in the order of their starts
};
