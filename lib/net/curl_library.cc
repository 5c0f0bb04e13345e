#include "net/curl_library.h"

#include <dlfcn.h>

#include <mutex>

#include "support/coded_error.h"

namespace net {

namespace {

template <class Function>
bool resolve(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

// Null where the library or one of its functions is missing.
const curl_library* load() {
  void* library = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  static curl_library curl;
  const bool complete =
      resolve(library, "curl_global_init", curl.global_init) && resolve(library, "curl_easy_init", curl.easy_init) &&
      resolve(library, "curl_easy_setopt", curl.easy_setopt) &&
      resolve(library, "curl_easy_getinfo", curl.easy_getinfo) &&
      resolve(library, "curl_easy_perform", curl.easy_perform) &&
      resolve(library, "curl_easy_cleanup", curl.easy_cleanup) &&
      resolve(library, "curl_easy_strerror", curl.easy_strerror) &&
      resolve(library, "curl_multi_init", curl.multi_init) &&
      resolve(library, "curl_multi_add_handle", curl.multi_add_handle) &&
      resolve(library, "curl_multi_remove_handle", curl.multi_remove_handle) &&
      resolve(library, "curl_multi_perform", curl.multi_perform) &&
      resolve(library, "curl_multi_poll", curl.multi_poll) &&
      resolve(library, "curl_multi_wakeup", curl.multi_wakeup) &&
      resolve(library, "curl_multi_info_read", curl.multi_info_read) &&
      resolve(library, "curl_multi_cleanup", curl.multi_cleanup) &&
      resolve(library, "curl_slist_append", curl.slist_append) &&
      resolve(library, "curl_slist_free_all", curl.slist_free_all);
  // The library stays loaded for the life of the process, like the functions taken from it.
  if (!complete || curl.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return nullptr;
  return &curl;
}

}  // namespace

const curl_library& curl_library::get() {
  static std::once_flag once;
  static const curl_library* loaded = nullptr;
  std::call_once(once, [] { loaded = load(); });
  if (loaded == nullptr) throw coded_error(reason::network, "libcurl is not available");
  return *loaded;
}

}  // namespace net
