#pragma once
// The link between a job thread and the JavaScript environment that started it. The
// job's end reaches JavaScript through a thread-safe function (calling `done` there,
// when given), and until then the event loop stays alive. An environment that ends
// first (a Worker terminated, an Electron context closed) cancels the job and waits
// for its thread's end steps, so that the thread never calls into an environment that
// is gone, and the drive is closed and restored before the environment goes.
#include <napi.h>

#include <functional>
#include <memory>
#include <optional>

#include "flash/flash_device.h"

class job_link {
 public:
  // `done` (may be empty) is called with `argument`, where given, once the job's thread
  // has ended; `cancel` asks the job to stop, on the ending environment's thread.
  job_link(Napi::Env env, Napi::Function done, std::function<void()> cancel, std::optional<double> argument = {});

  // The end callback to hand the engine with the job.
  job_end_callback on_end() const;
  // The engine refused the start: no thread will call on_end. On the JavaScript thread.
  void abandon(Napi::Env env);

 private:
  struct shared;
  std::shared_ptr<shared> shared_;
};
