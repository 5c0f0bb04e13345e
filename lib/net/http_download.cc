#include "net/http_download.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "support/coded_error.h"

namespace net {

namespace {

constexpr long receive_buffer = 512 << 10;
constexpr int poll_ms = 100;

std::string duration_text(std::uint32_t ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

http_download::http_download(std::string url, download_settings settings)
    : url_(std::move(url)), settings_(settings), curl_(curl_library::get()), multi_(curl_.multi_init()) {
  if (multi_ == nullptr) throw coded_error(reason::network, "failed to set up a download");
  XXH3_64bits_reset(&taken_hash_);
  start_attempt();
}

http_download::~http_download() {
  end_attempt();
  curl_.multi_cleanup(multi_);
}

void http_download::start_attempt() {
  request_ = std::make_unique<curl_request>(have_first_ ? resume_url_ : url_, settings_);
  curl_.easy_setopt(request_->handle(), CURLOPT_BUFFERSIZE, receive_buffer);
  request_->on_body(*this);
  // The server sends the whole file instead where it changed; without a validator the
  // whole file is asked for, to start over.
  if (offset_ > 0 && !validator().empty()) {
    request_->set_range(offset_);
    request_->add_header("If-Range: " + validator());
  }
  attempt_start_ = offset_;
  checked_ = false;
  refusal_.clear();
  refusal_final_ = false;
  discard_ = 0;
  last_byte_at_ = clock::now();
  curl_.multi_add_handle(multi_, request_->handle());
}

std::string http_download::validator() const {
  const bool strong_etag = !first_.etag.empty() && first_.etag.rfind("W/", 0) != 0;
  return strong_etag ? first_.etag : first_.last_modified;
}

void http_download::check_stop() const {
  if (stopping_) throw coded_error(reason::network, "download stopped");
  if (settings_.cancel_requested()) throw cancelled_error();
}

void http_download::end_attempt() {
  if (!request_) return;
  curl_.multi_remove_handle(multi_, request_->handle());
  request_.reset();
}

void http_download::fail(const std::string& cause) const {
  throw coded_error(reason::network, "download failed: " + cause + " after " + std::to_string(offset_) + " bytes");
}

bool http_download::same_file(const response_headers& now) const {
  if (!first_.etag.empty() && !now.etag.empty()) return first_.etag == now.etag;
  if (!first_.last_modified.empty() && !now.last_modified.empty() && first_.last_modified != now.last_modified) {
    return false;
  }
  const std::optional<std::uint64_t> total = now.range_total ? now.range_total : now.length;
  return !(first_.length && total && *first_.length != *total);
}

bool http_download::accept_response() {
  const response_headers& h = request_->headers();
  const auto refuse = [&](const std::string& why, bool final) {
    refusal_ = why;
    refusal_final_ = final;
    return false;
  };
  if (attempt_start_ == 0) {
    if (h.status < 200 || h.status >= 300 || h.status == 206) return refuse("HTTP " + std::to_string(h.status), true);
    first_ = h;
    have_first_ = true;
    resume_url_ = request_->effective_url();
    return true;
  }
  if (h.status == 206) {
    if (h.range_start != attempt_start_) return refuse("the server answered with another range", true);
    if (!same_file(h)) return refuse("the file changed on the server", true);
    return true;
  }
  if (h.status != 200) return refuse("HTTP " + std::to_string(h.status), false);
  if (!same_file(h)) return refuse("the file changed on the server", true);
  if (sealed_ || restarted_) return refuse("the server cannot resume the download", true);
  // One start over from byte 0: what was taken already is passed over, and must come again.
  restarted_ = true;
  discard_ = attempt_start_;
  XXH3_64bits_reset(&again_hash_);
  return true;
}

bool http_download::operator()(const std::uint8_t* bytes, std::size_t size) {
  last_byte_at_ = clock::now();
  if (!checked_) {
    checked_ = true;
    if (!accept_response()) return false;
  }
  if (discard_ > 0) {
    const auto passed = static_cast<std::size_t>(std::min<std::uint64_t>(discard_, size));
    XXH3_64bits_update(&again_hash_, bytes, passed);
    discard_ -= passed;
    bytes += passed;
    size -= passed;
    if (discard_ == 0 && XXH3_64bits_digest(&again_hash_) != XXH3_64bits_digest(&taken_hash_)) {
      refusal_ = "the file changed on the server";
      refusal_final_ = true;
      return false;
    }
  }
  if (size == 0) return true;
  if (!sealed_) XXH3_64bits_update(&taken_hash_, bytes, size);
  if (pending_at_ == pending_.size()) {
    pending_.clear();
    pending_at_ = 0;
  }
  pending_.insert(pending_.end(), bytes, bytes + size);
  offset_ += size;
  received_ = offset_;
  return true;
}

void http_download::resume_or_fail(bool may_resume, const std::string& cause) {
  end_attempt();
  if (!may_resume || resumes_ >= settings_.max_resumes) fail(cause);
  if (offset_ > 0 && validator().empty() && (sealed_ || restarted_)) {
    fail(cause + ", and the server names no version of the file to resume (a strong ETag or Last-Modified)");
  }
  ++resumes_;
  const auto wait = std::chrono::milliseconds(std::uint64_t{settings_.first_wait_ms} << (resumes_ - 1));
  const auto until = clock::now() + wait;
  while (clock::now() < until) {
    check_stop();
    std::this_thread::sleep_for(std::min<clock::duration>(until - clock::now(), std::chrono::milliseconds(50)));
  }
  start_attempt();
}

void http_download::attempt_done(CURLcode result) {
  if (result == CURLE_OK) {
    if (!checked_) {  // an empty body
      checked_ = true;
      if (!accept_response()) return resume_or_fail(!refusal_final_, refusal_);
    }
    if (discard_ > 0) return resume_or_fail(false, "the file changed on the server");
    end_attempt();
    ended_ = true;
    return;
  }
  if (!refusal_.empty()) return resume_or_fail(!refusal_final_, refusal_);
  if (have_first_ && first_.length && offset_ == *first_.length && discard_ == 0) {  // every byte came before the drop
    end_attempt();
    ended_ = true;
    return;
  }
  const long status = request_->headers().status;
  if (status == 416) return resume_or_fail(false, "the server holds fewer bytes than it announced");
  // A first request that got no answer at all is a server out of reach, not a drop.
  const bool answered = have_first_ || status != 0;
  resume_or_fail(answered && transient(result, status), failure_text(curl_, result, status));
}

void http_download::pump() {
  const auto waiting_since = clock::now();
  const auto stall = std::chrono::milliseconds(settings_.stall_timeout_ms);
  while (pending_at_ == pending_.size() && !ended_) {
    check_stop();
    int running = 0;
    curl_.multi_perform(multi_, &running);
    int left = 0;
    while (CURLMsg* message = curl_.multi_info_read(multi_, &left)) {
      if (message->msg == CURLMSG_DONE) {
        attempt_done(message->data.result);
        break;  // the request that sent it is gone
      }
    }
    if (pending_at_ < pending_.size() || ended_) return;
    if (clock::now() - std::max(waiting_since, last_byte_at_) > stall) {
      resume_or_fail(have_first_, "no data for " + duration_text(settings_.stall_timeout_ms));
      continue;
    }
    curl_.multi_poll(multi_, nullptr, 0, poll_ms, nullptr);
  }
}

const response_headers& http_download::first_response() {
  while (!have_first_) {
    if (ended_) fail("no response");
    pump();
  }
  return first_;
}

std::size_t http_download::read(std::uint8_t* buffer, std::size_t size) {
  if (pending_at_ == pending_.size()) pump();
  const std::size_t n = std::min(size, pending_.size() - pending_at_);
  std::memcpy(buffer, pending_.data() + pending_at_, n);
  pending_at_ += n;
  return n;
}

void http_download::stop() {
  stopping_ = true;
  curl_.multi_wakeup(multi_);
}

}  // namespace net
