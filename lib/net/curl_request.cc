#include "net/curl_request.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>

#include "support/coded_error.h"
#include "support/stringops.h"

namespace net {

namespace {

std::optional<std::uint64_t> number(const std::string& text) {
  if (text.empty() || text.size() > 19 || !std::all_of(text.begin(), text.end(), ::isdigit)) return std::nullopt;
  return std::stoull(text);
}

constexpr int poll_ms = 100;

// Only http and https, for the request and for its redirects, and only https after
// https. By name where libcurl knows the options (7.85 on), else as the older bit mask:
// the library loaded may be newer or older than the header the addon was built with,
// so the options go by value.
void only_http(const curl_library& curl, CURL* handle, bool secure) {
  const auto protocols_by_name = static_cast<CURLoption>(CURLOPTTYPE_STRINGPOINT + 318);
  const auto redirects_by_name = static_cast<CURLoption>(CURLOPTTYPE_STRINGPOINT + 319);
  const auto protocols_by_mask = static_cast<CURLoption>(CURLOPTTYPE_LONG + 181);
  const auto redirects_by_mask = static_cast<CURLoption>(CURLOPTTYPE_LONG + 182);
  if (curl.easy_setopt(handle, protocols_by_name, "http,https") == CURLE_OK) {
    curl.easy_setopt(handle, redirects_by_name, secure ? "https" : "http,https");
    return;
  }
  const long http_and_https = CURLPROTO_HTTP | CURLPROTO_HTTPS;
  curl.easy_setopt(handle, protocols_by_mask, http_and_https);
  curl.easy_setopt(handle, redirects_by_mask, secure ? long{CURLPROTO_HTTPS} : http_and_https);
}

// The certificate authorities where the environment names them, as the curl tool takes them.
void choose_authorities(const curl_library& curl, CURL* handle) {
  for (const char* name : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"}) {
    const char* file = std::getenv(name);
    if (file != nullptr && *file != '\0') {
      curl.easy_setopt(handle, CURLOPT_CAINFO, file);
      return;
    }
  }
  const char* folder = std::getenv("SSL_CERT_DIR");
  if (folder != nullptr && *folder != '\0') curl.easy_setopt(handle, CURLOPT_CAPATH, folder);
}

}  // namespace

curl_request::curl_request(const std::string& url, const network_settings& settings)
    : curl_(curl_library::get()), handle_(curl_.easy_init()) {
  if (handle_ == nullptr) throw coded_error(reason::network, "failed to set up a download");
  curl_.easy_setopt(handle_, CURLOPT_URL, url.c_str());
  curl_.easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
  curl_.easy_setopt(handle_, CURLOPT_FOLLOWLOCATION, 1L);
  curl_.easy_setopt(handle_, CURLOPT_MAXREDIRS, 10L);
  only_http(curl_, handle_, stringops::lowercase(url.substr(0, 8)) == "https://");
  curl_.easy_setopt(handle_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  curl_.easy_setopt(handle_, CURLOPT_USERAGENT, "flasher-addon");
  curl_.easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.stall_timeout_ms));
  curl_.easy_setopt(handle_, CURLOPT_FAILONERROR, 1L);
  curl_.easy_setopt(handle_, CURLOPT_HEADERFUNCTION, &curl_request::header_line);
  curl_.easy_setopt(handle_, CURLOPT_HEADERDATA, this);
  choose_authorities(curl_, handle_);
}

curl_request::~curl_request() {
  curl_.easy_cleanup(handle_);
  if (header_list_ != nullptr) curl_.slist_free_all(header_list_);
}

void curl_request::set_range(std::uint64_t first, std::optional<std::uint64_t> last) {
  range_ = std::to_string(first) + "-" + (last ? std::to_string(*last) : std::string());
  curl_.easy_setopt(handle_, CURLOPT_RANGE, range_.c_str());
}

void curl_request::add_header(const std::string& line) {
  header_list_ = curl_.slist_append(header_list_, line.c_str());
  curl_.easy_setopt(handle_, CURLOPT_HTTPHEADER, header_list_);
}

std::string curl_request::effective_url() const {
  const char* url = nullptr;
  curl_.easy_getinfo(handle_, CURLINFO_EFFECTIVE_URL, &url);
  return url != nullptr ? url : "";
}

CURLcode curl_request::perform(const network_settings& settings) {
  const auto release = [this](CURLM* multi) {
    curl_.multi_remove_handle(multi, handle_);
    curl_.multi_cleanup(multi);
  };
  const std::unique_ptr<CURLM, decltype(release)> multi(curl_.multi_init(), release);
  if (!multi) throw coded_error(reason::network, "failed to set up a download");
  curl_.multi_add_handle(multi.get(), handle_);
  const auto stall = std::chrono::milliseconds(settings.stall_timeout_ms);
  last_byte_at_ = std::chrono::steady_clock::now();
  for (;;) {
    if (settings.cancel_requested()) return CURLE_ABORTED_BY_CALLBACK;
    int running = 0;
    curl_.multi_perform(multi.get(), &running);
    int left = 0;
    while (CURLMsg* message = curl_.multi_info_read(multi.get(), &left)) {
      if (message->msg == CURLMSG_DONE) return message->data.result;
    }
    if (std::chrono::steady_clock::now() - last_byte_at_ > stall) return CURLE_OPERATION_TIMEDOUT;
    curl_.multi_poll(multi.get(), nullptr, 0, poll_ms, nullptr);
  }
}

std::size_t curl_request::header_line(char* bytes, std::size_t size, std::size_t count, void* self) {
  auto& request = *static_cast<curl_request*>(self);
  request.last_byte_at_ = std::chrono::steady_clock::now();
  const std::string line(bytes, size * count);
  response_headers& h = request.headers_;
  if (line.rfind("HTTP/", 0) == 0) {  // a new response (a redirect, an interim answer) starts
    h = response_headers{};
    const auto blank = line.find(' ');
    if (blank != std::string::npos) h.status = std::strtol(line.c_str() + blank + 1, nullptr, 10);
    return size * count;
  }
  const auto colon = line.find(':');
  if (colon == std::string::npos) return size * count;
  const std::string name = stringops::lowercase(stringops::trimmed(line.substr(0, colon)));
  const std::string value = stringops::trimmed(line.substr(colon + 1));
  if (name == "content-length") {
    h.length = number(value);
  } else if (name == "etag") {
    h.etag = value;
  } else if (name == "last-modified") {
    h.last_modified = value;
  } else if (name == "accept-ranges") {
    h.accepts_ranges = stringops::lowercase(value) == "bytes";
  } else if (name == "content-range" && stringops::lowercase(value).rfind("bytes ", 0) == 0) {
    const std::string range = value.substr(6);
    const auto dash = range.find('-');
    const auto slash = range.find('/');
    if (dash != std::string::npos) h.range_start = number(range.substr(0, dash));
    if (slash != std::string::npos) h.range_total = number(range.substr(slash + 1));
  }
  return size * count;
}

std::string failure_text(const curl_library& curl, CURLcode code, long status) {
  if (code == CURLE_HTTP_RETURNED_ERROR && status > 0) return "HTTP " + std::to_string(status);
  // The request itself is always http(s): only a redirect can name another protocol.
  if (code == CURLE_UNSUPPORTED_PROTOCOL) return "a redirect to another protocol was refused (after https, only https)";
  return curl.easy_strerror(code);
}

coded_error cancelled_error() { return coded_error(reason::network, "download cancelled"); }

bool transient(CURLcode code, long status) {
  if (code == CURLE_HTTP_RETURNED_ERROR) return status >= 500 || status == 408 || status == 429;
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_LOGIN_DENIED:
      return false;
    default:
      return true;
  }
}

}  // namespace net
