#include "napi_image_source.h"

#include <string>

#include "cache/image_cache.h"
#include "image/image_source.h"
#include "net/http_fetch.h"
#include "net/url.h"
#include "origin/image_origin.h"
#include "promise_worker.h"
#include "support/coded_error.h"

namespace {

Napi::Value number_or_null(const Napi::Env& env, const std::optional<std::uint64_t>& value) {
  return value ? Napi::Number::New(env, static_cast<double>(*value)) : env.Null();
}

// What a local file is, or what the server sends of a URL: its first bytes, its length
// and the format's own records, read with range requests.
image::image_info read_info(const std::string& location, std::uint32_t stall_timeout_ms) {
  if (!net::is_url(location)) return image::inspect(location);
  origin::image_request request;
  request.location = location;
  request.stall_timeout_ms = stall_timeout_ms;
  return origin::image_origin(request, std::nullopt).info();
}

// inspectAsync(location, stallTimeoutMs): a Promise of { format, fileSize, size }, sizes
// null where unknown.
class inspect_worker : public promise_worker {
 public:
  inspect_worker(const Napi::Env& env, std::string location, std::uint32_t stall_timeout_ms)
      : promise_worker(env, "flasher inspect", reason::image, location), location_(std::move(location)), stall_timeout_ms_(stall_timeout_ms) {}

 protected:
  void work() override { info_ = read_info(location_, stall_timeout_ms_); }
  Napi::Value result(Napi::Env env) override {
    Napi::Object result = Napi::Object::New(env);
    result.Set("format", image::format_name(info_.format));
    result.Set("fileSize", number_or_null(env, info_.file_size > 0 ? std::optional<std::uint64_t>(info_.file_size) : std::nullopt));
    result.Set("size", number_or_null(env, info_.size));
    return result;
  }

 private:
  std::string location_;
  std::uint32_t stall_timeout_ms_;
  image::image_info info_;
};

// probeAsync(url, stallTimeoutMs): a Promise of { found, length } from the headers of
// the URL (a HEAD request); not found where the server answers with an error or cannot
// be reached.
class probe_worker : public promise_worker {
 public:
  probe_worker(const Napi::Env& env, std::string url, std::uint32_t stall_timeout_ms)
      : promise_worker(env, "flasher probe", reason::network, url), url_(std::move(url)), stall_timeout_ms_(stall_timeout_ms) {}

 protected:
  void work() override {
    try {
      headers_ = net::probe(url_, {stall_timeout_ms_});
    } catch (const coded_error&) {
      headers_ = net::response_headers{};
    }
  }
  Napi::Value result(Napi::Env env) override {
    Napi::Object result = Napi::Object::New(env);
    result.Set("found", headers_.status >= 200 && headers_.status < 300);
    result.Set("length", number_or_null(env, headers_.length));
    return result;
  }

 private:
  std::string url_;
  std::uint32_t stall_timeout_ms_;
  net::response_headers headers_;
};

template <class Worker>
Napi::Value start_location_worker(const Napi::CallbackInfo& info, const char* message) {
  if (info.Length() != 2 || !info[0].IsString() || !info[1].IsNumber()) throw Napi::TypeError::New(info.Env(), message);
  return (new Worker(info.Env(), info[0].As<Napi::String>().Utf8Value(), info[1].As<Napi::Number>().Uint32Value()))->start();
}

Napi::Value inspect_async(const Napi::CallbackInfo& info) {
  return start_location_worker<inspect_worker>(info, "inspect_async() takes a string and a number");
}

Napi::Value probe_async(const Napi::CallbackInfo& info) {
  return start_location_worker<probe_worker>(info, "probe_async() takes a string and a number");
}

// listCache(): the cached images, most recently used first.
Napi::Value list_cache(const Napi::CallbackInfo& info) {
  const Napi::Env env = info.Env();
  const cache::image_cache cache(cache::default_folder(), cache::default_limit);
  Napi::Array list = Napi::Array::New(env);
  for (const cache::entry& e : cache.entries()) {
    Napi::Object entry = Napi::Object::New(env);
    entry.Set("sha256", e.sha256);
    entry.Set("url", e.url);
    entry.Set("size", static_cast<double>(e.size));
    entry.Set("lastUsed", static_cast<double>(e.last_used) * 1000);
    entry.Set("path", e.path);
    list.Set(list.Length(), entry);
  }
  return list;
}

// clearCache(): removes every cached image; returns how many there were.
Napi::Value clear_cache(const Napi::CallbackInfo& info) {
  const cache::image_cache cache(cache::default_folder(), cache::default_limit);
  return Napi::Number::New(info.Env(), static_cast<double>(cache.clear()));
}

}  // namespace

void add_image_source_functions(Napi::Env env, Napi::Object exports) {
  exports.Set("inspectAsync", Napi::Function::New(env, inspect_async, "inspectAsync"));
  exports.Set("probeAsync", Napi::Function::New(env, probe_async, "probeAsync"));
  exports.Set("listCache", Napi::Function::New(env, list_cache, "listCache"));
  exports.Set("clearCache", Napi::Function::New(env, clear_cache, "clearCache"));
  exports.Set("cacheFolder", Napi::Function::New(
                                 env, [](const Napi::CallbackInfo& info) { return Napi::String::New(info.Env(), cache::default_folder()); },
                                 "cacheFolder"));
}
