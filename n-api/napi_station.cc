// watchDrives(rules, onEvent) of the flasher module: the drives that appear and go
// while a station runs. A thread of its own listens to the kernel's events and tells
// each drive to onEvent on the JavaScript thread; close() ends it within a quarter of
// a second, and until then it keeps the process alive.
#include "napi_station.h"

#include <atomic>
#include <memory>
#include <thread>

#include "napi_drive_list.h"
#include "station/drive_arrivals.h"
#include "support/coded_error.h"

namespace {

constexpr std::chrono::milliseconds stop_check{250};

std::optional<std::uint64_t> size_rule(const Napi::Object& rules, const char* name) {
  const Napi::Value value = rules.Get(name);
  if (value.IsUndefined() || value.IsNull()) return std::nullopt;
  if (!value.IsNumber()) throw Napi::TypeError::New(rules.Env(), std::string(name) + " must be a number");
  return static_cast<std::uint64_t>(value.As<Napi::Number>().DoubleValue());
}

std::string text_rule(const Napi::Object& rules, const char* name) {
  const Napi::Value value = rules.Get(name);
  if (value.IsUndefined() || value.IsNull()) return {};
  if (!value.IsString()) throw Napi::TypeError::New(rules.Env(), std::string(name) + " must be a string");
  return value.As<Napi::String>().Utf8Value();
}

// { kind: "added" | "removed" | "failed", present, sysfs, devnum, name, size, drive, refused }
Napi::Object event_object(Napi::Env env, const station::arrival& seen, bool present) {
  const bool added = seen.change.what == station::disk_change::kind::appeared;
  Napi::Object event = Napi::Object::New(env);
  event.Set("kind", added ? "added" : "removed");
  event.Set("present", present);
  event.Set("sysfs", seen.change.sysfs);
  event.Set("devnum", seen.change.devnum);
  event.Set("name", seen.change.name);
  event.Set("size", static_cast<double>(seen.change.size));
  event.Set("drive", seen.drive ? Napi::Value(drive_object(env, *seen.drive)) : env.Null());
  event.Set("refused", seen.refused.empty() ? env.Null() : Napi::String::New(env, seen.refused));
  return event;
}

}  // namespace

Napi::Value watch_drives(const Napi::CallbackInfo& info) {
  const Napi::Env env = info.Env();
  if (info.Length() != 2 || !info[0].IsObject() || !info[1].IsFunction()) {
    throw Napi::TypeError::New(env, "watch_drives() takes the rules and a function");
  }
  const Napi::Object given = info[0].As<Napi::Object>();
  station::drive_rules rules{size_rule(given, "minSize"), size_rule(given, "maxSize"), text_rule(given, "port"),
                             text_rule(given, "vendor"), text_rule(given, "model")};
  std::shared_ptr<station::drive_arrivals> arrivals;
  try {
    arrivals = std::make_shared<station::drive_arrivals>(std::move(rules));
  } catch (const coded_error& e) {
    Napi::Error error = Napi::Error::New(env, e.what());
    error.Set("code", reason_code(e.why()));
    throw error;
  }
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto tell = Napi::ThreadSafeFunction::New(env, info[1].As<Napi::Function>(), "flasher drive watch", 0, 1);
  std::thread([arrivals, stop, tell]() mutable {
    // An environment that ends (a terminated Worker) takes no more calls: the watch ends.
    const auto send = [&](const station::arrival& seen, bool present) {
      const napi_status sent = tell.BlockingCall([seen, present](Napi::Env js, Napi::Function on_event) {
        on_event.Call({event_object(js, seen, present)});
      });
      if (sent != napi_ok) *stop = true;
    };
    try {
      for (const station::arrival& seen : arrivals->present()) {
        if (!*stop) send(seen, true);
      }
      while (!*stop) {
        if (const auto seen = arrivals->next(stop_check)) send(*seen, false);
      }
    } catch (const std::exception& e) {
      const std::string message = coded(e, reason::no_drive, "the watch of drives").what();
      tell.BlockingCall([message](Napi::Env js, Napi::Function on_event) {
        Napi::Object failed = Napi::Object::New(js);
        failed.Set("kind", "failed");
        failed.Set("message", message);
        on_event.Call({failed});
      });
    }
    tell.Release();
  }).detach();

  Napi::Object handle = Napi::Object::New(env);
  handle.Set("close", Napi::Function::New(env, [stop](const Napi::CallbackInfo&) { *stop = true; }, "close"));
  return handle;
}
