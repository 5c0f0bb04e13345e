// listDrives(): the disks as the drive model reads them from lsblk, converted into
// the plain objects of the promise API. lsblk runs on a worker thread, so an
// application's event loop does not wait for it.
#include "napi_drive_list.h"

#include <string>
#include <vector>

#include "drives/drives.h"
#include "promise_worker.h"

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
  if (drive.loop) {
    object.Set("loop", true);
    object.Set("backingFile", text_or_null(drive.backing_file));
  }
  return object;
}

namespace {

class list_worker : public promise_worker {
 public:
  list_worker(const Napi::Env& env, bool loops) : promise_worker(env, "flasher drive list", reason::no_drive, "the list of drives"), loops_(loops) {}

 protected:
  // lsblk missing, too old, or its listing unreadable: the drive model's text.
  void work() override {
    physical_drives model(loops_);
    listed = model.drive_list;
  }

  Napi::Value result(Napi::Env env) override {
    Napi::Array drives = Napi::Array::New(env, listed.size());
    for (std::uint32_t i = 0; i < listed.size(); ++i) drives[i] = drive_object(env, listed[i]);
    return drives;
  }

 private:
  bool loops_;
  std::vector<phydrive> listed;
};

}  // namespace

Napi::Value list_drives(const Napi::CallbackInfo& info) {
  // list_drives() or list_drives(loops): with true, attached loop devices too.
  const bool loops = info.Length() == 1 && info[0].IsBoolean() && info[0].As<Napi::Boolean>().Value();
  if (info.Length() > 1 || (info.Length() == 1 && !info[0].IsBoolean())) {
    throw Napi::TypeError::New(info.Env(), "list_drives() takes no parameter, or whether to list loop devices");
  }
  return (new list_worker(info.Env(), loops))->start();
}
