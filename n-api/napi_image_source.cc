#include "napi_image_source.h"

#include <memory>
#include <string>
#include <thread>

#include "cache/image_cache.h"
#include "image/image_source.h"
#include "net/http_fetch.h"
#include "net/url.h"
#include "origin/image_origin.h"
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

// Runs `work` on a thread of its own and calls `done(error)` or `done(null, value)` on
// the JavaScript thread, `value` made there by `convert` from what `work` returned.
template <class Work, class Convert>
void run_off_thread(const Napi::Env& env, Napi::Function done_function, const char* name, Work work, Convert convert) {
  auto done = Napi::ThreadSafeFunction::New(env, done_function, name, 0, 1);
  std::thread([done, work, convert]() mutable {
    using result_type = decltype(work());
    std::shared_ptr<result_type> result;
    std::string failure;
    const char* code = "EIMAGE";
    try {
      result = std::make_shared<result_type>(work());
    } catch (const coded_error& e) {
      failure = e.what();
      code = reason_code(e.why());
    } catch (const std::exception& e) {
      failure = e.what();
    }
    done.BlockingCall([result, failure, code, convert](Napi::Env js, Napi::Function callback) {
      if (!result) {
        Napi::Error error = Napi::Error::New(js, failure);
        error.Set("code", code);
        callback.Call({error.Value()});
        return;
      }
      callback.Call({js.Null(), convert(js, *result)});
    });
    done.Release();
  }).detach();
}

void require_location_call(const Napi::CallbackInfo& info, const char* message) {
  if (info.Length() != 3 || !info[0].IsString() || !info[1].IsNumber() || !info[2].IsFunction()) {
    throw Napi::TypeError::New(info.Env(), message);
  }
}

// inspectAsync(location, stallTimeoutMs, done): done(error) or done(null, { format,
// fileSize, size }) on the JavaScript thread; sizes null where unknown.
void inspect_async(const Napi::CallbackInfo& info) {
  require_location_call(info, "inspect_async() takes a string, a number and a function");
  const std::string location = info[0].As<Napi::String>().Utf8Value();
  const std::uint32_t stall_timeout_ms = info[1].As<Napi::Number>().Uint32Value();
  run_off_thread(
      info.Env(), info[2].As<Napi::Function>(), "flasher inspect", [=] { return read_info(location, stall_timeout_ms); },
      [](Napi::Env js, const image::image_info& read) {
        Napi::Object result = Napi::Object::New(js);
        result.Set("format", image::format_name(read.format));
        const std::optional<std::uint64_t> file_size = read.file_size > 0 ? std::optional<std::uint64_t>(read.file_size) : std::nullopt;
        result.Set("fileSize", number_or_null(js, file_size));
        result.Set("size", number_or_null(js, read.size));
        return result;
      });
}

// probeAsync(url, stallTimeoutMs, done): done(null, { found, length }) from the headers
// of the URL (a HEAD request); not found where the server answers with an error or
// cannot be reached.
void probe_async(const Napi::CallbackInfo& info) {
  require_location_call(info, "probe_async() takes a string, a number and a function");
  const std::string url = info[0].As<Napi::String>().Utf8Value();
  const std::uint32_t stall_timeout_ms = info[1].As<Napi::Number>().Uint32Value();
  run_off_thread(
      info.Env(), info[2].As<Napi::Function>(), "flasher probe",
      [=] {
        try {
          return net::probe(url, {stall_timeout_ms});
        } catch (const coded_error&) {
          return net::response_headers{};
        }
      },
      [](Napi::Env js, const net::response_headers& headers) {
        Napi::Object result = Napi::Object::New(js);
        result.Set("found", headers.status >= 200 && headers.status < 300);
        result.Set("length", number_or_null(js, headers.length));
        return result;
      });
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
