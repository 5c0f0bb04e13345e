#include "origin/image_origin.h"

#include <fcntl.h>

#include <algorithm>
#include <cctype>

#include "net/http_download.h"
#include "net/http_fetch.h"
#include "net/url.h"
#include "support/coded_error.h"
#include "trust/checksums_file.h"
#include "trust/signature_check.h"

namespace origin {

namespace {

// Where distributions put the detached signature of a checksums file.
const char* const signature_suffixes[] = {".gpg", ".sign", ".asc"};

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string signed_checksums(const image_request& request, const std::string& text, const net::network_settings& net) {
  if (trust::is_clearsigned(text)) return trust::verified_text(text, std::nullopt, request.keyring, request.checksums);
  for (const char* suffix : signature_suffixes) {
    const std::optional<std::string> signature = net::read_location(net::with_suffix(request.checksums, suffix), net);
    if (signature) return trust::verified_text(text, signature, request.keyring, request.checksums);
  }
  throw coded_error(reason::signature, "no signature found for " + request.checksums +
                                           " (neither clearsigned nor with a .gpg, .sign or .asc file next to it)");
}

}  // namespace

net::network_settings network_of(const image_request& request) {
  return net::network_settings{request.stall_timeout_ms, request.cancelled};
}

namespace {

// The checksums file of the request, its signature checked where a keyring is given;
// empty where none is asked for.
std::string checked_checksums(const image_request& request) {
  if (request.checksums.empty()) return {};
  const net::network_settings net = network_of(request);
  std::optional<std::string> text = net::read_location(request.checksums, net);
  if (!text) throw coded_error(reason::checksum, "no checksums file at " + request.checksums);
  return request.keyring.empty() ? *text : signed_checksums(request, *text, net);
}

std::string published_sha256(const image_request& request, const std::string& checksums) {
  if (!request.sha256.empty()) return lower(request.sha256);
  if (request.checksums.empty()) return {};
  const std::string name = net::file_name_of(request.location);
  const std::optional<std::string> digest = trust::sha256_for(checksums, name);
  if (!digest) throw coded_error(reason::checksum, "no checksum for " + name + " in " + request.checksums);
  return *digest;
}

}  // namespace

std::string expected_sha256(const image_request& request) {
  return published_sha256(request, request.sha256.empty() ? checked_checksums(request) : std::string());
}

image_origin::image_origin(const image_request& request, const std::optional<image::image_info>& known)
    : request_(request),
      checksums_(request.sha256.empty() ? checked_checksums(request) : std::string()),
      expected_(published_sha256(request, checksums_)) {
  const bool remote = net::is_url(request.location);
  if (remote && request.cache) {
    cache_ = std::make_unique<cache::image_cache>(cache::default_folder(), request.cache_limit);
    cache_->require_own_folder();
  }
  if (!expected_.empty() || cache_ || request.digest) sha256_ = std::make_unique<image::range_checksum>("sha256");
  if (!remote) {
    open_file(known);
  } else if (const std::optional<cache::entry> hit = cached()) {
    open_cached(*hit);
  } else {
    open_download();
  }
}

image_origin::~image_origin() = default;

std::optional<cache::entry> image_origin::cached() const {
  if (!cache_) return std::nullopt;
  if (!expected_.empty()) return cache_->find_sha256(expected_);
  const std::optional<cache::entry> found = cache_->find_url(request_.location);
  if (!found) return std::nullopt;
  // Without a published digest, the entry stands only while the server still has that file.
  try {
    const net::response_headers now = net::probe(request_.location, network_of(request_));
    const bool same = !found->etag.empty()
                          ? now.etag == found->etag
                          : !found->last_modified.empty() && now.last_modified == found->last_modified && now.length == found->size;
    if (same) return found;
  } catch (const coded_error&) {
    // The server cannot say: the download says why it fails, or that it was cancelled.
  }
  return std::nullopt;
}

void image_origin::open_file(const std::optional<image::image_info>& known) {
  stored_ = std::make_unique<image::byte_source>(image::open_file_input(request_.location));
  random_ = image::open_file_access(request_.location);
  info_ = known ? *known : image::inspect(request_.location);
  if (sha256_) stored_->add_observer(sha256_.get());
}

void image_origin::open_cached(const cache::entry& hit) {
  cache_->mark_used(hit);
  from_cache_ = true;
  // The entry is checked as it is read: its name must still be its digest.
  expected_ = hit.sha256;
  stored_ = std::make_unique<image::byte_source>(image::open_file_input(hit.path, O_NOFOLLOW));
  random_ = image::open_file_access(hit.path, O_NOFOLLOW);
  info_ = image::inspect(hit.path, O_NOFOLLOW);
  stored_->add_observer(sha256_.get());
}

void image_origin::open_download() {
  net::download_settings settings;
  settings.stall_timeout_ms = request_.stall_timeout_ms;
  settings.cancelled = request_.cancelled;
  auto download = std::make_unique<net::http_download>(request_.location, settings);
  download_ = download.get();
  stored_ = std::make_unique<image::byte_source>(std::move(download));
  if (sha256_) stored_->add_observer(sha256_.get());
  if (cache_) filling_ = cache_->start_filling();
  if (filling_) stored_->add_observer(filling_.get());

  info_.format = image::detect(stored_->peek(8));
  const net::response_headers& first = download_->first_response();
  etag_ = first.etag;
  last_modified_ = first.last_modified;
  info_.file_size = first.length.value_or(0);
  const net::network_settings net = network_of(request_);
  random_ = std::make_unique<net::url_access>(download_->effective_url(), download_->validator(), info_.file_size, net);
  if (info_.format == image::format::raw) {
    info_.size = first.length;
  } else if (info_.file_size > 0) {
    // A cancel makes the reads of the records fail: it is the cause, not the records.
    try {
      info_.size = image::recorded_size(info_.format, *random_);
    } catch (...) {
      if (net.cancel_requested()) throw net::cancelled_error();
      throw;
    }
    if (net.cancel_requested()) throw net::cancelled_error();
  }
  if (info_.format == image::format::zip && !info_.size) {
    throw coded_error(reason::image, "the zip directory cannot be read: the server does not answer range requests");
  }
}

void image_origin::finish() {
  if (!sha256_) return;
  stored_->drain();
  const std::string actual = sha256_->hex_digest();
  {
    std::lock_guard<std::mutex> lock(account_mutex_);
    actual_ = actual;
  }
  if (!expected_.empty() && actual != expected_) {
    if (from_cache_) cache_->remove(expected_);
    throw coded_error(reason::checksum, "image checksum mismatch: expected " + expected_ + ", got " + actual);
  }
  if (filling_) filling_->keep({actual, request_.location, etag_, last_modified_, 0, 0, {}});
}

std::optional<std::string> image_origin::listed_sha256(const std::string& name) const {
  return checksums_.empty() ? std::nullopt : trust::named_sha256(checksums_, name);
}

source_account image_origin::account() const {
  source_account account;
  account.downloaded = download_ != nullptr;
  account.from_cache = from_cache_;
  account.bytes = download_ != nullptr ? download_->received() : 0;
  account.resumes = download_ != nullptr ? download_->resumes() : 0;
  account.expected_sha256 = from_cache_ && !request_.checked() ? std::string() : expected_;
  std::lock_guard<std::mutex> lock(account_mutex_);
  account.actual_sha256 = actual_;
  return account;
}

}  // namespace origin
