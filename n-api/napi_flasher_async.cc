// The "flasher" module: the FlashDrive class over one flash device. The binding only
// checks arguments, converts values, calls the device and turns its exceptions into
// JavaScript errors.
#include <napi.h>

#include <memory>
#include <string>

#include "flash/flash_device.h"
#include "napi_drive_list.h"

namespace {

void require_no_arguments(const Napi::CallbackInfo& info, const char* message) {
  if (info.Length() != 0) throw Napi::TypeError::New(info.Env(), message);
}

Napi::Function require_function(const Napi::CallbackInfo& info, const char* message) {
  if (info.Length() != 1 || !info[0].IsFunction()) throw Napi::TypeError::New(info.Env(), message);
  return info[0].As<Napi::Function>();
}

std::string require_string(const Napi::CallbackInfo& info, const char* message) {
  if (info.Length() != 1 || !info[0].IsString()) throw Napi::TypeError::New(info.Env(), message);
  return info[0].As<Napi::String>().Utf8Value();
}

// Converted as napi_get_value_uint32 does: fraction dropped, modulo 2^32.
std::uint32_t require_number(const Napi::CallbackInfo& info, const char* message) {
  if (info.Length() != 1 || !info[0].IsNumber()) throw Napi::TypeError::New(info.Env(), message);
  return info[0].As<Napi::Number>().Uint32Value();
}

// Runs native work; a standard exception becomes a JavaScript Error with its text.
template <class Work>
auto call_native(const Napi::Env& env, Work&& work) -> decltype(work()) {
  try {
    return work();
  } catch (const Napi::Error&) {
    throw;
  } catch (const std::exception& e) {
    throw Napi::Error::New(env, e.what());
  }
}

// Keeps the event loop alive while a job thread runs or waits: the thread releases it
// as its last step, and until then Node.js does not exit on its own.
job_end_callback keep_process_alive(const Napi::Env& env, Napi::ThreadSafeFunction& keeper) {
  keeper = Napi::ThreadSafeFunction::New(env, Napi::Function::New(env, [](const Napi::CallbackInfo&) {}),
                                         "flasher job", 0, 1);
  return [keeper]() mutable { keeper.Release(); };
}

// The same, and the job's end, its end steps included, calls `done` on the JavaScript
// thread: the owner learns of it without polling.
job_end_callback call_when_ended(const Napi::Env& env, Napi::ThreadSafeFunction& keeper, Napi::Function done) {
  keeper = Napi::ThreadSafeFunction::New(env, done, "flasher job", 0, 1);
  return [keeper]() mutable {
    keeper.BlockingCall();
    keeper.Release();
  };
}

Napi::Object progress_object(const Napi::Env& env, const job_progress& progress) {
  Napi::Object object = Napi::Object::New(env);
  object.Set("bytes", static_cast<double>(progress.bytes.load()));
  object.Set("total", static_cast<double>(progress.total.load()));
  return object;
}

}  // namespace

class Flash_Drive : public Napi::ObjectWrap<Flash_Drive> {
 public:
  static Napi::Object Init(Napi::Env env, Napi::Object exports) {
    Napi::Function constructor = DefineClass(env, "FlashDrive",
                                             {
                                                 InstanceMethod("setDrive", &Flash_Drive::set_drive),
                                                 InstanceMethod("setImage", &Flash_Drive::set_image),
                                                 InstanceMethod("setPassword", &Flash_Drive::set_password),
                                                 InstanceMethod("setWriteBlock", &Flash_Drive::set_write_blocksize),
                                                 InstanceMethod("startWrite", &Flash_Drive::start_write),
                                                 InstanceMethod("cancelWrite", &Flash_Drive::cancel_write),
                                                 InstanceMethod("getWriteStats", &Flash_Drive::get_write_stats),
                                                 InstanceMethod("setValidateBlock", &Flash_Drive::set_validate_blocksize),
                                                 InstanceMethod("startValidate", &Flash_Drive::start_validate),
                                                 InstanceMethod("cancelValidate", &Flash_Drive::cancel_validate),
                                                 InstanceMethod("getValidateStats", &Flash_Drive::get_validate_stats),
                                                 InstanceMethod("runWrite", &Flash_Drive::run_write),
                                                 InstanceMethod("runValidate", &Flash_Drive::run_validate),
                                                 InstanceMethod("getProgress", &Flash_Drive::get_progress),
                                             });
    // Kept for the life of the process, like the class itself.
    new Napi::FunctionReference(Napi::Persistent(constructor));
    exports.Set("FlashDrive", constructor);
    return exports;
  }

  explicit Flash_Drive(const Napi::CallbackInfo& info) : Napi::ObjectWrap<Flash_Drive>(info) {
    device = call_native(info.Env(), [] { return std::make_shared<flash_device>(); });
  }

 private:
  void set_drive(const Napi::CallbackInfo& info) {
    std::string key = require_string(info, "set_drive() takes one string parameter");
    call_native(info.Env(), [&] { device->set_drive(key); });
  }

  void set_image(const Napi::CallbackInfo& info) {
    std::string path = require_string(info, "set_image() takes one string parameter");
    call_native(info.Env(), [&] { device->set_image(path); });
  }

  void set_password(const Napi::CallbackInfo& info) {
    std::string password = require_string(info, "set_password() takes one string parameter");
    call_native(info.Env(), [&] { device->set_password(password); });
  }

  void set_write_blocksize(const Napi::CallbackInfo& info) {
    std::uint32_t bytes = require_number(info, "set_write_blocksize() takes one number parameter");
    call_native(info.Env(), [&] { device->set_write_block_size(bytes); });
  }

  void set_validate_blocksize(const Napi::CallbackInfo& info) {
    std::uint32_t bytes = require_number(info, "set_validate_blocksize() takes one number parameter");
    call_native(info.Env(), [&] { device->set_validate_block_size(bytes); });
  }

  void start_write(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "start_write() takes no parameter");
    start_job(info.Env(), Napi::Function(),
              [this](job_end_callback on_end) { device->write_async(std::move(on_end)); });
  }

  void start_validate(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "start_validate() takes no parameter");
    start_job(info.Env(), Napi::Function(),
              [this](job_end_callback on_end) { device->validate_async(std::move(on_end)); });
  }

  void run_write(const Napi::CallbackInfo& info) {
    Napi::Function done = require_function(info, "run_write() takes one function parameter");
    start_job(info.Env(), done, [this](job_end_callback on_end) { device->write_async(std::move(on_end)); });
  }

  void run_validate(const Napi::CallbackInfo& info) {
    Napi::Function done = require_function(info, "run_validate() takes one function parameter");
    start_job(info.Env(), done,
              [this](job_end_callback on_end) { device->validate_async(std::move(on_end)); });
  }

  Napi::Value get_progress(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "get_progress() takes no parameter");
    Napi::Object result = Napi::Object::New(info.Env());
    result.Set("write", progress_object(info.Env(), device->write_progress));
    result.Set("validate", progress_object(info.Env(), device->validate_progress));
    return result;
  }

  void cancel_write(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "cancel_write() takes no parameter");
    call_native(info.Env(), [&] { device->request_cancel_write(); });
  }

  void cancel_validate(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "cancel_validate() takes no parameter");
    call_native(info.Env(), [&] { device->request_cancel_validate(); });
  }

  Napi::Value get_write_stats(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "get_write_stats() takes no parameter");
    return Napi::String::New(info.Env(), call_native(info.Env(), [&] { return device->write_stats.get_json(); }));
  }

  Napi::Value get_validate_stats(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "get_validate_stats() takes no parameter");
    return Napi::String::New(info.Env(),
                             call_native(info.Env(), [&] { return device->validate_stats.get_json(); }));
  }

  // With a `done` function, the job's end calls it; without, the job only keeps the
  // process alive.
  template <class Start>
  void start_job(const Napi::Env& env, Napi::Function done, Start&& start) {
    Napi::ThreadSafeFunction keeper;
    job_end_callback on_end = done.IsEmpty() ? keep_process_alive(env, keeper) : call_when_ended(env, keeper, done);
    try {
      call_native(env, [&] { start(std::move(on_end)); });
    } catch (...) {
      keeper.Release();  // no thread was started to release it
      throw;
    }
  }

  // Shared with the job threads, so a device outlives a FlashDrive collected mid-job.
  std::shared_ptr<flash_device> device;
};

Napi::Object InitAll(Napi::Env env, Napi::Object exports) {
  exports.Set("listDrives", Napi::Function::New(env, list_drives, "listDrives"));
  return Flash_Drive::Init(env, exports);
}

NODE_API_MODULE(flasher, InitAll)
