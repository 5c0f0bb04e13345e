#pragma once
// libcurl, loaded with dlopen("libcurl.so.4") when the first download starts: the
// addons neither link it nor need it to load, only images from the network do. curl's
// header gives the types and constants; every call goes through this table.
#define CURL_NO_OLDIES
#include <curl/curl.h>

namespace net {

struct curl_library {
  CURLcode (*global_init)(long flags);
  CURL* (*easy_init)();
  CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
  CURLcode (*easy_getinfo)(CURL* handle, CURLINFO info, ...);
  CURLcode (*easy_perform)(CURL* handle);
  void (*easy_cleanup)(CURL* handle);
  const char* (*easy_strerror)(CURLcode code);
  CURLM* (*multi_init)();
  CURLMcode (*multi_add_handle)(CURLM* multi, CURL* handle);
  CURLMcode (*multi_remove_handle)(CURLM* multi, CURL* handle);
  CURLMcode (*multi_perform)(CURLM* multi, int* running);
  CURLMcode (*multi_poll)(CURLM* multi, curl_waitfd* extra, unsigned extra_count, int timeout_ms, int* ready);
  CURLMcode (*multi_wakeup)(CURLM* multi);
  CURLMsg* (*multi_info_read)(CURLM* multi, int* left);
  CURLMcode (*multi_cleanup)(CURLM* multi);
  curl_slist* (*slist_append)(curl_slist* list, const char* text);
  void (*slist_free_all)(curl_slist* list);

  // The library, loaded and initialised once per process. Throws coded_error
  // (ENETWORK) "libcurl is not available" where it cannot be loaded.
  static const curl_library& get();
};

}  // namespace net
