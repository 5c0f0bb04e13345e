// listDrives(): the disks as the drive model reads them from lsblk, converted into
// the plain objects of the promise API. lsblk runs on a worker thread, so an
// application's event loop does not wait for it.
#include "napi_drive_list.h"

#include <string>
#include <vector>

#include "drives/drives.h"
#include "support/coded_error.h"

namespace {

// lsblk pads vendor names with blanks ("ATA     ").
std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

Napi::Object to_object(Napi::Env env, const partition& part) {
  Napi::Object object = Napi::Object::New(env);
  object.Set("name", part.name);
  object.Set("path", part.path);
  object.Set("size", static_cast<double>(part.size));
  object.Set("mountpoint", part.mountpoint);
  object.Set("label", part.label);
  object.Set("partlabel", part.partlabel);
  object.Set("fstype", part.fstype);
  return object;
}

}  // namespace

Napi::Object drive_object(Napi::Env env, const phydrive& drive) {
  Napi::Object object = Napi::Object::New(env);
  object.Set("name", drive.identifier);
  object.Set("path", drive.path);
  object.Set("size", static_cast<double>(drive.disk_size));
  object.Set("model", trimmed(drive.model));
  object.Set("vendor", trimmed(drive.vendor));
  object.Set("removable", drive.removable);
  // The drive model reads a missing "hotplug" as hot-pluggable, as its job checks do.
  object.Set("hotplug", !drive.internal);
  object.Set("sectorSize", static_cast<double>(drive.block_size));
  // null where the drive reports no serial number, or udev names no port.
  const auto text_or_null = [&](const std::string& text) -> Napi::Value {
    return text.empty() ? env.Null() : Napi::String::New(env, text);
  };
  object.Set("serial", text_or_null(trimmed(drive.serial)));
  object.Set("port", text_or_null(drive.port));
  Napi::Array partitions = Napi::Array::New(env, drive.partitions.size());
  for (std::uint32_t i = 0; i < drive.partitions.size(); ++i) partitions[i] = to_object(env, drive.partitions[i]);
  object.Set("partitions", partitions);
  return object;
}

namespace {

class list_worker : public Napi::AsyncWorker {
 public:
  explicit list_worker(const Napi::Env& env)
      : Napi::AsyncWorker(env, "flasher drive list"), deferred(Napi::Promise::Deferred::New(env)) {}

  Napi::Promise promise() const { return deferred.Promise(); }

 protected:
  // A std::exception thrown here (lsblk missing, too old, or its listing unreadable)
  // becomes the rejection, with the drive model's text.
  void Execute() override {
    try {
      physical_drives model;
      listed = model.drive_list;
    } catch (const coded_error& e) {
      code = reason_code(e.why());
      throw;
    }
  }

  void OnOK() override {
    Napi::Env env = Env();
    Napi::Array result = Napi::Array::New(env, listed.size());
    for (std::uint32_t i = 0; i < listed.size(); ++i) result[i] = drive_object(env, listed[i]);
    deferred.Resolve(result);
  }

  void OnError(const Napi::Error& error) override {
    if (!code.empty()) error.Set("code", code);
    deferred.Reject(error.Value());
  }

 private:
  Napi::Promise::Deferred deferred;
  std::vector<phydrive> listed;
  std::string code;  // the reason of a failed listing
};

}  // namespace

Napi::Value list_drives(const Napi::CallbackInfo& info) {
  if (info.Length() != 0) throw Napi::TypeError::New(info.Env(), "list_drives() takes no parameter");
  auto* worker = new list_worker(info.Env());  // deletes itself once settled
  Napi::Promise promise = worker->promise();
  worker->Queue();
  return promise;
}
