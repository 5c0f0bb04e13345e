#include "job_link.h"

#include <condition_variable>
#include <mutex>

using ending_hook = Napi::Env::CleanupHook<std::function<void()>>;

// What the job thread, the JavaScript thread and an ending environment share.
struct job_link::shared {
  Napi::ThreadSafeFunction reporter;
  ending_hook ending;
  std::optional<double> argument;
  std::mutex mutex;
  std::condition_variable changed;
  bool thread_done = false;  // the job thread has made its last call into the environment

  void mark_done() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      thread_done = true;
    }
    changed.notify_all();
  }
  void wait_done() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return thread_done; });
  }
};

job_link::job_link(Napi::Env env, Napi::Function done, std::function<void()> cancel, std::optional<double> argument)
    : shared_(std::make_shared<shared>()) {
  if (done.IsEmpty()) done = Napi::Function::New(env, [](const Napi::CallbackInfo&) {});
  shared_->argument = argument;
  shared_->reporter = Napi::ThreadSafeFunction::New(env, done, "flasher job", 0, 1);
  // Added after the thread-safe function: an ending environment runs its hooks in the
  // reverse order, so this one runs while that function still exists.
  std::weak_ptr<shared> link = shared_;
  shared_->ending = env.AddCleanupHook(std::function<void()>([link, cancel = std::move(cancel)] {
    if (auto alive = link.lock()) {
      cancel();
      alive->wait_done();
    }
  }));
}

job_end_callback job_link::on_end() const {
  return [link = shared_]() {
    // Queued without waiting: during an environment's end nothing would take it.
    link->reporter.NonBlockingCall([link](Napi::Env env, Napi::Function done) {
      link->ending.Remove(env);
      if (link->argument) {
        done.Call({Napi::Number::New(env, *link->argument)});
      } else {
        done.Call({});
      }
    });
    link->reporter.Release();
    link->mark_done();
  };
}

void job_link::abandon(Napi::Env env) {
  shared_->ending.Remove(env);
  shared_->reporter.Release();
}
