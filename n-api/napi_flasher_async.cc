// The "flasher" module: the FlashDrive class over one flash device. The binding only
// checks arguments, converts values, calls the device and turns its exceptions into
// JavaScript errors.
#include <napi.h>

#include <memory>
#include <string>

#include "flash/flash_device.h"
#include "image/image_source.h"
#include "job_link.h"
#include "napi_drive_list.h"
#include "napi_station.h"
#include "napi_image_source.h"
#include "napi_target_check.h"
#include "support/coded_error.h"

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

bool require_boolean(const Napi::CallbackInfo& info, const char* message) {
  if (info.Length() != 1 || !info[0].IsBoolean()) throw Napi::TypeError::New(info.Env(), message);
  return info[0].As<Napi::Boolean>().Value();
}

// Runs native work; an invalid argument becomes a TypeError, any other standard
// exception a JavaScript Error with the text and reason (`code`) coded() gives it,
// `otherwise` and `input` saying what the call was about.
template <class Work>
auto call_native(const Napi::Env& env, Work&& work, reason otherwise = reason::write,
                 const std::string& input = "the drive's settings") -> decltype(work()) {
  try {
    return work();
  } catch (const Napi::Error&) {
    throw;
  } catch (const std::invalid_argument& e) {
    // A setting the caller got wrong, as Node.js reports one.
    Napi::TypeError error = Napi::TypeError::New(env, e.what());
    error.Set("code", "ERR_INVALID_ARG_VALUE");
    throw error;
  } catch (const std::exception& e) {
    const coded_error known = coded(e, otherwise, input);
    Napi::Error error = Napi::Error::New(env, known.what());
    error.Set("code", reason_code(known.why()));
    throw error;
  }
}

Napi::Object progress_object(const Napi::Env& env, const job_progress& progress) {
  Napi::Object object = Napi::Object::New(env);
  object.Set("bytes", static_cast<double>(progress.bytes.load()));
  object.Set("total", static_cast<double>(progress.total.load()));
  object.Set("waitedForImageMs", static_cast<double>(progress.waited_for_image_ns.load()) / 1e6);
  object.Set("waitedForDeviceMs", static_cast<double>(progress.waited_for_device_ns.load()) / 1e6);
  object.Set("queueDepth", progress.queue_depth.load());
  object.Set("queueDepthHalvings", progress.queue_depth_halvings.load());
  object.Set("spooledBytes", static_cast<double>(progress.spooled_bytes.load()));
  object.Set("sourceBytes", static_cast<double>(progress.source_bytes.load()));
  object.Set("sourceTotal", static_cast<double>(progress.source_total.load()));
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
                                                 InstanceMethod("setBlockMap", &Flash_Drive::set_block_map),
                                                 InstanceMethod("setWriteMode", &Flash_Drive::set_write_mode),
                                                 InstanceMethod("getWriteReport", &Flash_Drive::get_write_report),
                                                 InstanceMethod("getValidateReport", &Flash_Drive::get_validate_report),
                                                 InstanceMethod("setCapacityCheck", &Flash_Drive::set_capacity_check),
                                                 InstanceMethod("runWrite", &Flash_Drive::run_write),
                                                 InstanceMethod("runValidate", &Flash_Drive::run_validate),
                                                 InstanceMethod("getProgress", &Flash_Drive::get_progress),
                                                 InstanceMethod("setRepairAttempts", &Flash_Drive::set_repair_attempts),
                                                 InstanceMethod("setFixGpt", &Flash_Drive::set_fix_gpt),
                                                 InstanceMethod("setEject", &Flash_Drive::set_eject),
                                                 InstanceMethod("setFiles", &Flash_Drive::set_files),
                                                 InstanceMethod("setBackup", &Flash_Drive::set_backup),
                                                 InstanceMethod("startBackup", &Flash_Drive::start_backup),
                                                 InstanceMethod("runBackup", &Flash_Drive::run_backup),
                                                 InstanceMethod("cancelBackup", &Flash_Drive::cancel_backup),
                                                 InstanceMethod("getBackupStats", &Flash_Drive::get_backup_stats),
                                                 InstanceMethod("getBackupReport", &Flash_Drive::get_backup_report),
                                                 InstanceMethod("setSourceDrive", &Flash_Drive::set_source_drive),
                                                 InstanceMethod("setSha256", &Flash_Drive::set_sha256),
                                                 InstanceMethod("setChecksums", &Flash_Drive::set_checksums),
                                                 InstanceMethod("setKeyring", &Flash_Drive::set_keyring),
                                                 InstanceMethod("setCache", &Flash_Drive::set_cache),
                                                 InstanceMethod("setStallTimeout", &Flash_Drive::set_stall_timeout),
                                                 InstanceMethod("setFirstBlockLast", &Flash_Drive::set_first_block_last),
                                                 InstanceMethod("setAllowLoop", &Flash_Drive::set_allow_loop),
                                                 InstanceMethod("setDigest", &Flash_Drive::set_digest),
                                                 StaticMethod("runGroupWrite", &Flash_Drive::run_group_write),
                                             });
    // The class of this environment, for the checks of runGroupWrite; it ends with it.
    env.SetInstanceData(new Napi::FunctionReference(Napi::Persistent(constructor)));
    exports.Set("FlashDrive", constructor);
    return exports;
  }

  explicit Flash_Drive(const Napi::CallbackInfo& info) : Napi::ObjectWrap<Flash_Drive>(info) {
    device = call_native(info.Env(), [] { return std::make_shared<flash_device>(); });
  }

 private:
  void set_drive(const Napi::CallbackInfo& info) {
    std::string key = require_string(info, "set_drive() takes one string parameter");
    call_native(info.Env(), [&] { device->set_drive(key); }, reason::no_drive, "drive " + key);
  }

  void set_image(const Napi::CallbackInfo& info) {
    std::string path = require_string(info, "set_image() takes one string parameter");
    call_native(info.Env(), [&] { device->set_image(path); }, reason::image, "image " + path);
  }

  void set_source_drive(const Napi::CallbackInfo& info) {
    std::string key = require_string(info, "set_source_drive() takes one string parameter");
    call_native(info.Env(), [&] { device->set_source_drive(key); }, reason::read, "source drive " + key);
  }

  void set_block_map(const Napi::CallbackInfo& info) {
    const bool with_found = info.Length() == 2 && info[1].IsBoolean();
    if ((info.Length() != 1 && !with_found) || !info[0].IsString()) {
      throw Napi::TypeError::New(info.Env(), "set_block_map() takes a string, and whether it was found next to the image");
    }
    const std::string path = info[0].As<Napi::String>().Utf8Value();
    const bool found = with_found && info[1].As<Napi::Boolean>().Value();
    call_native(info.Env(), [&] { device->set_block_map(path, found); }, reason::image, "block map " + path);
  }

  void set_write_mode(const Napi::CallbackInfo& info) {
    const char* message = "set_write_mode() takes \"direct\" or \"sync\"";
    const std::string mode = require_string(info, message);
    if (mode != "direct" && mode != "sync") throw Napi::TypeError::New(info.Env(), message);
    call_native(info.Env(), [&] { device->set_write_mode(mode == "direct" ? write_mode::direct : write_mode::sync); });
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

  void set_capacity_check(const Napi::CallbackInfo& info) {
    bool on = require_boolean(info, "set_capacity_check() takes one boolean parameter");
    call_native(info.Env(), [&] { device->set_capacity_check(on); });
  }

  void set_repair_attempts(const Napi::CallbackInfo& info) {
    const char* message = "set_repair_attempts() takes one whole number from 0 to 100";
    if (info.Length() != 1 || !info[0].IsNumber()) throw Napi::TypeError::New(info.Env(), message);
    const double attempts = info[0].As<Napi::Number>().DoubleValue();
    if (attempts < 0 || attempts > 100 || attempts != static_cast<double>(static_cast<unsigned>(attempts))) {
      throw Napi::TypeError::New(info.Env(), message);
    }
    call_native(info.Env(), [&] { device->set_repair_attempts(static_cast<unsigned>(attempts)); });
  }

  void set_fix_gpt(const Napi::CallbackInfo& info) {
    bool on = require_boolean(info, "set_fix_gpt() takes one boolean parameter");
    call_native(info.Env(), [&] { device->set_fix_gpt(on); });
  }

  void set_eject(const Napi::CallbackInfo& info) {
    bool on = require_boolean(info, "set_eject() takes one boolean parameter");
    call_native(info.Env(), [&] { device->set_eject(on); });
  }

  // setFiles([{ partition, path, content }]): content a string (UTF-8) or a Buffer.
  void set_files(const Napi::CallbackInfo& info) {
    const char* message = "set_files() takes an array of { partition, path, content } objects";
    if (info.Length() != 1 || !info[0].IsArray()) throw Napi::TypeError::New(info.Env(), message);
    const Napi::Array list = info[0].As<Napi::Array>();
    std::vector<first_boot_file> files;
    for (std::uint32_t i = 0; i < list.Length(); ++i) {
      const Napi::Value value = list.Get(i);
      if (!value.IsObject()) throw Napi::TypeError::New(info.Env(), message);
      const Napi::Object entry = value.As<Napi::Object>();
      const Napi::Value partition = entry.Get("partition");
      const Napi::Value path = entry.Get("path");
      const Napi::Value content = entry.Get("content");
      if (!partition.IsNumber() || !path.IsString() || !(content.IsString() || content.IsBuffer())) {
        throw Napi::TypeError::New(info.Env(), message);
      }
      first_boot_file file{partition.As<Napi::Number>().Int32Value(), path.As<Napi::String>().Utf8Value(), {}};
      if (content.IsString()) {
        file.content = content.As<Napi::String>().Utf8Value();
      } else {
        const auto bytes = content.As<Napi::Buffer<char>>();
        file.content.assign(bytes.Data(), bytes.Length());
      }
      files.push_back(std::move(file));
    }
    call_native(info.Env(), [&] { device->set_first_boot_files(std::move(files)); });
  }

  void set_sha256(const Napi::CallbackInfo& info) {
    std::string hex = require_string(info, "set_sha256() takes one string parameter");
    call_native(info.Env(), [&] { device->set_sha256(hex); });
  }

  void set_checksums(const Napi::CallbackInfo& info) {
    std::string location = require_string(info, "set_checksums() takes one string parameter");
    call_native(info.Env(), [&] { device->set_checksums(location); }, reason::signature, "checksums " + location);
  }

  void set_keyring(const Napi::CallbackInfo& info) {
    std::string path = require_string(info, "set_keyring() takes one string parameter");
    call_native(info.Env(), [&] { device->set_keyring(path); }, reason::signature, "keyring " + path);
  }

  // setCache(on, limitBytes): the limit a whole number of bytes, at least 1.
  void set_cache(const Napi::CallbackInfo& info) {
    const char* message = "set_cache() takes a boolean and a number of bytes";
    if (info.Length() != 2 || !info[0].IsBoolean() || !info[1].IsNumber()) throw Napi::TypeError::New(info.Env(), message);
    const double limit = info[1].As<Napi::Number>().DoubleValue();
    if (!(limit >= 1 && limit <= 9007199254740991.0)) throw Napi::TypeError::New(info.Env(), message);
    call_native(info.Env(), [&] { device->set_cache(info[0].As<Napi::Boolean>().Value(), static_cast<std::uint64_t>(limit)); });
  }

  void set_stall_timeout(const Napi::CallbackInfo& info) {
    std::uint32_t ms = require_number(info, "set_stall_timeout() takes one number parameter");
    call_native(info.Env(), [&] { device->set_stall_timeout(ms); });
  }

  void set_allow_loop(const Napi::CallbackInfo& info) {
    bool on = require_boolean(info, "set_allow_loop() takes one boolean parameter");
    call_native(info.Env(), [&] { device->set_allow_loop(on); });
  }

  void set_digest(const Napi::CallbackInfo& info) {
    bool on = require_boolean(info, "set_digest() takes one boolean parameter");
    call_native(info.Env(), [&] { device->set_digest(on); });
  }

  void set_first_block_last(const Napi::CallbackInfo& info) {
    bool on = require_boolean(info, "set_first_block_last() takes one boolean parameter");
    call_native(info.Env(), [&] { device->set_first_block_last(on); });
  }

  void start_write(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "start_write() takes no parameter");
    start_job(info.Env(), Napi::Function(), job_kind::write);
  }

  void start_validate(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "start_validate() takes no parameter");
    start_job(info.Env(), Napi::Function(), job_kind::validate);
  }

  void run_write(const Napi::CallbackInfo& info) {
    start_job(info.Env(), require_function(info, "run_write() takes one function parameter"), job_kind::write);
  }

  void run_validate(const Napi::CallbackInfo& info) {
    start_job(info.Env(), require_function(info, "run_validate() takes one function parameter"), job_kind::validate);
  }

  Napi::Value get_progress(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "get_progress() takes no parameter");
    Napi::Object result = Napi::Object::New(info.Env());
    result.Set("write", progress_object(info.Env(), device->write_stats.progress));
    result.Set("validate", progress_object(info.Env(), device->validate_stats.progress));
    Napi::Object backup = progress_object(info.Env(), device->backup_stats.progress);
    backup.Set("outputBytes", static_cast<double>(device->backup_stats.progress.output.load()));
    result.Set("backup", backup);
    return result;
  }

  // setBackup(output, optionsJson): the file a backup of the drive makes, and how.
  void set_backup(const Napi::CallbackInfo& info) {
    if (info.Length() != 2 || !info[0].IsString() || !info[1].IsString()) {
      throw Napi::TypeError::New(info.Env(), "set_backup() takes the output's path and the options as JSON text");
    }
    const std::string output = info[0].As<Napi::String>().Utf8Value();
    const std::string options = info[1].As<Napi::String>().Utf8Value();
    call_native(info.Env(), [&] { device->set_backup(output, options); }, reason::output, "backup " + output);
  }

  void start_backup(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "start_backup() takes no parameter");
    start_job(info.Env(), Napi::Function(), job_kind::backup);
  }

  void run_backup(const Napi::CallbackInfo& info) {
    start_job(info.Env(), require_function(info, "run_backup() takes one function parameter"), job_kind::backup);
  }

  void cancel_backup(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "cancel_backup() takes no parameter");
    call_native(info.Env(), [&] { device->request_cancel_backup(); });
  }

  Napi::Value get_backup_stats(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "get_backup_stats() takes no parameter");
    return Napi::String::New(info.Env(), call_native(info.Env(), [&] { return device->backup_stats.get_json(); }));
  }

  Napi::Value get_backup_report(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "get_backup_report() takes no parameter");
    return Napi::String::New(info.Env(),
                             call_native(info.Env(), [&] { return device->backup_stats.get_report_json(); }));
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

  Napi::Value get_write_report(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "get_write_report() takes no parameter");
    return Napi::String::New(info.Env(),
                             call_native(info.Env(), [&] { return device->write_stats.get_report_json(); }));
  }

  Napi::Value get_validate_report(const Napi::CallbackInfo& info) {
    require_no_arguments(info, "get_validate_report() takes no parameter");
    return Napi::String::New(info.Env(),
                             call_native(info.Env(), [&] { return device->validate_stats.get_report_json(); }));
  }

  // With a `done` function, the job's end calls it; without, the job only keeps the
  // event loop alive.
  void start_job(const Napi::Env& env, Napi::Function done, job_kind kind) {
    job_link link(env, done, [device = device, kind] {
      switch (kind) {
        case job_kind::write: device->request_cancel_write(); break;
        case job_kind::validate: device->request_cancel_validate(); break;
        case job_kind::backup: device->request_cancel_backup(); break;
      }
    });
    try {
      call_native(env, [&] {
        switch (kind) {
          case job_kind::write: device->write_async(link.on_end()); break;
          case job_kind::validate: device->validate_async(link.on_end()); break;
          case job_kind::backup: device->backup_async(link.on_end()); break;
        }
      }, kind == job_kind::write ? reason::write : kind == job_kind::validate ? reason::verify : reason::read, "the job's start");
    } catch (...) {
      link.abandon(env);
      throw;
    }
  }

  // FlashDrive.runGroupWrite(drives, done): one write on each FlashDrive of `drives`,
  // the image read once for all; `done(i)` is called once drive i's job has ended.
  static void run_group_write(const Napi::CallbackInfo& info) {
    const char* message = "run_group_write() takes an array of FlashDrive objects and a function";
    const Napi::Env env = info.Env();
    if (info.Length() != 2 || !info[0].IsArray() || !info[1].IsFunction()) throw Napi::TypeError::New(env, message);
    const Napi::Array list = info[0].As<Napi::Array>();
    const Napi::Function flash_drive_class = env.GetInstanceData<Napi::FunctionReference>()->Value();
    std::vector<std::shared_ptr<flash_device>> devices;
    for (std::uint32_t i = 0; i < list.Length(); ++i) {
      const Napi::Value value = list.Get(i);
      if (!value.IsObject() || !value.As<Napi::Object>().InstanceOf(flash_drive_class)) {
        throw Napi::TypeError::New(env, message);
      }
      devices.push_back(Unwrap(value.As<Napi::Object>())->device);
    }
    std::vector<job_link> links;
    std::vector<job_end_callback> ends;
    for (std::size_t i = 0; i < devices.size(); ++i) {
      links.emplace_back(env, info[1].As<Napi::Function>(), [device = devices[i]] { device->request_cancel_write(); },
                         static_cast<double>(i));
      ends.push_back(links.back().on_end());
    }
    try {
      call_native(env, [&] { flash_device::write_group_async(devices, ends); });
    } catch (...) {
      for (auto& link : links) link.abandon(env);
      throw;
    }
  }

  // Shared with the job threads, so a device outlives a FlashDrive collected mid-job.
  std::shared_ptr<flash_device> device;
};


// inspectImage(path): { format, fileSize, size } with size null where the format does
// not record it.
Napi::Value inspect_image(const Napi::CallbackInfo& info) {
  const std::string path = require_string(info, "inspect_image() takes one string parameter");
  const image::image_info image = call_native(info.Env(), [&] { return image::inspect(path); }, reason::image, "image " + path);
  Napi::Object result = Napi::Object::New(info.Env());
  result.Set("format", image::format_name(image.format));
  result.Set("fileSize", Napi::Number::New(info.Env(), static_cast<double>(image.file_size)));
  result.Set("size", image.size ? Napi::Number::New(info.Env(), static_cast<double>(*image.size)) : info.Env().Null());
  return result;
}

Napi::Object InitAll(Napi::Env env, Napi::Object exports) {
  exports.Set("inspectImage", Napi::Function::New(env, inspect_image, "inspectImage"));
  add_image_source_functions(env, exports);
  exports.Set("listDrives", Napi::Function::New(env, list_drives, "listDrives"));
  exports.Set("checkTargets", Napi::Function::New(env, check_targets, "checkTargets"));
  exports.Set("watchDrives", Napi::Function::New(env, watch_drives, "watchDrives"));
  return Flash_Drive::Init(env, exports);
}

NODE_API_MODULE(flasher, InitAll)
