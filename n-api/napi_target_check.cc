#include "napi_target_check.h"

#include "flash/target_check.h"
#include "napi_drive_list.h"
#include "promise_worker.h"

namespace {

const char* const usage = "check_targets() takes { drives, image, blockMap, blockSize, verifyBlockSize, imageSize, allowLoop }";

// `image` is optional: a backup's drive is checked without one.

class target_worker : public promise_worker {
 public:
  target_worker(const Napi::Env& env, target_request request)
      : promise_worker(env, "flasher target check", reason::no_drive, "the check of the targets"), request_(std::move(request)) {}

 protected:
  void work() override { plan_ = ::check_targets(request_); }

  Napi::Value result(Napi::Env env) override {
    Napi::Value image = env.Null();  // an image at a URL: the job reads it
    if (!plan_.remote) {
      Napi::Object described = Napi::Object::New(env);
      described.Set("format", image::format_name(plan_.image.format));
      described.Set("fileSize", static_cast<double>(plan_.image.file_size));
      described.Set("size", plan_.image.size ? Napi::Value(Napi::Number::New(env, static_cast<double>(*plan_.image.size)))
                                             : env.Null());
      image = described;
    }
    Napi::Value map = env.Null();
    if (plan_.block_map) {
      Napi::Object described = Napi::Object::New(env);
      described.Set("imageSize", static_cast<double>(plan_.block_map->image_size));
      described.Set("mappedBytes", static_cast<double>(plan_.block_map->mapped_bytes));
      map = described;
    }
    Napi::Array drives = Napi::Array::New(env, plan_.drives.size());
    for (std::uint32_t i = 0; i < plan_.drives.size(); ++i) drives[i] = drive_object(env, plan_.drives[i]);
    Napi::Object checked = Napi::Object::New(env);
    checked.Set("image", request_.image_path.empty() ? env.Null() : Napi::Value(image));
    checked.Set("source", plan_.source ? drive_object(env, *plan_.source) : env.Null());
    checked.Set("blockMap", map);
    checked.Set("drives", drives);
    return checked;
  }

 private:
  target_request request_;
  target_plan plan_;
};

std::optional<std::uint64_t> optional_size(const Napi::Env& env, const Napi::Value& value) {
  if (value.IsUndefined()) return std::nullopt;
  if (!value.IsNumber()) throw Napi::TypeError::New(env, usage);
  return static_cast<std::uint64_t>(value.As<Napi::Number>().Int64Value());
}

}  // namespace

Napi::Value check_targets(const Napi::CallbackInfo& info) {
  const Napi::Env env = info.Env();
  if (info.Length() != 1 || !info[0].IsObject()) throw Napi::TypeError::New(env, usage);
  const Napi::Object options = info[0].As<Napi::Object>();
  target_request request;
  const Napi::Value drives = options.Get("drives");
  const Napi::Value image = options.Get("image");
  const Napi::Value map = options.Get("blockMap");
  if (!drives.IsArray() || !(image.IsUndefined() || image.IsString()) || !(map.IsUndefined() || map.IsString())) {
    throw Napi::TypeError::New(env, usage);
  }
  const Napi::Array keys = drives.As<Napi::Array>();
  for (std::uint32_t i = 0; i < keys.Length(); ++i) {
    if (!keys.Get(i).IsString()) throw Napi::TypeError::New(env, usage);
    request.drive_keys.push_back(keys.Get(i).As<Napi::String>().Utf8Value());
  }
  if (image.IsString()) request.image_path = image.As<Napi::String>().Utf8Value();
  if (map.IsString()) request.block_map_path = map.As<Napi::String>().Utf8Value();
  request.write_block_size = optional_size(env, options.Get("blockSize"));
  request.read_block_size = optional_size(env, options.Get("verifyBlockSize"));
  const Napi::Value allow_loop = options.Get("allowLoop");
  if (!(allow_loop.IsUndefined() || allow_loop.IsBoolean())) throw Napi::TypeError::New(env, usage);
  request.allow_loop = allow_loop.IsBoolean() && allow_loop.As<Napi::Boolean>().Value();
  request.image_size = optional_size(env, options.Get("imageSize"));
  return (new target_worker(env, std::move(request)))->start();
}
