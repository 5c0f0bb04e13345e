#pragma once
// Native work off the JavaScript thread that settles a Promise: resolved with what
// result() builds, or rejected with the engine's text and its reason as `code`: an
// exception without one gets `otherwise`, and a text naming `input` in place of a
// library's own.
#include <napi.h>

#include <string>
#include <utility>

#include "support/coded_error.h"

class promise_worker : public Napi::AsyncWorker {
 public:
  promise_worker(const Napi::Env& env, const char* name, reason otherwise, std::string input)
      : Napi::AsyncWorker(env, name), deferred_(Napi::Promise::Deferred::New(env)), otherwise_(otherwise),
        input_(std::move(input)) {}

  // Queues the work; the worker deletes itself once the Promise is settled.
  Napi::Promise start() {
    Napi::Promise promise = deferred_.Promise();
    Queue();
    return promise;
  }

 protected:
  // Runs off the JavaScript thread: no Node-API here. A std::exception thrown here
  // rejects the Promise.
  virtual void work() = 0;
  // On the JavaScript thread, once work() succeeded.
  virtual Napi::Value result(Napi::Env env) = 0;

 private:
  void Execute() final {
    try {
      work();
    } catch (const std::exception& e) {
      const coded_error known = coded(e, otherwise_, input_);
      code_ = reason_code(known.why());
      SetError(known.what());
    }
  }
  void OnOK() final { deferred_.Resolve(result(Env())); }
  void OnError(const Napi::Error& error) final {
    if (!code_.empty()) error.Set("code", code_);
    deferred_.Reject(error.Value());
  }

  Napi::Promise::Deferred deferred_;
  reason otherwise_;
  std::string input_;
  std::string code_;
};
