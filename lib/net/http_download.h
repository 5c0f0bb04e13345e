#pragma once
// An image downloaded over HTTP(S) as the decoders take it: the bytes come as they
// arrive, straight from the connection, never through a file. A connection that drops
// or stalls (no byte for the stall timeout while bytes are wanted) is resumed with a
// Range request from the next byte needed, up to `max_resumes` times with a growing
// wait, but only where the first response named its file so that the server can tell
// it: a strong ETag, else a Last-Modified date, sent as If-Range. A length alone, or a
// weak ETag, could join two versions of the file. Without such a validator, or where
// the server answers a resume with the whole file, the download starts over from byte
// 0 once, only while no decoded byte has gone on to the drives, its first bytes
// checked against those already taken. Otherwise the download fails with coded_error
// (ENETWORK) "download failed: <cause> after N bytes". The settings' cancel ends it
// at once with "download cancelled".
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "image/byte_source.h"
#include "net/curl_request.h"

namespace net {

struct download_settings : network_settings {
  unsigned max_resumes = 5;
  // The wait before the first resume; each further one waits twice as long.
  std::uint32_t first_wait_ms = 1000;
};

class http_download : public image::byte_input {
 public:
  // Starts the request; throws coded_error (ENETWORK) "libcurl is not available".
  http_download(std::string url, download_settings settings);
  ~http_download() override;

  // The headers of the first response, waited for. Throws coded_error (ENETWORK).
  const response_headers& first_response();

  std::size_t read(std::uint8_t* buffer, std::size_t size) override;
  void stop() override;
  void seal() override { sealed_ = true; }

  // Where the first response came from (after redirects), and the If-Range value that
  // names its file (empty: none); known once first_response() returned.
  const std::string& effective_url() const { return resume_url_; }
  std::string validator() const;

  // Bytes received so far, and the resumes it took; read from any thread.
  std::uint64_t received() const { return received_; }
  unsigned resumes() const { return resumes_; }

  // The body sink of the current request.
  bool operator()(const std::uint8_t* bytes, std::size_t size);

 private:
  using clock = std::chrono::steady_clock;

  void start_attempt();
  void end_attempt();
  // Drives the transfer until bytes are pending or it ended; resumes or throws.
  void pump();
  void attempt_done(CURLcode result);
  // Checks the current response; false (with the cause set) where its body is not wanted.
  bool accept_response();
  [[noreturn]] void fail(const std::string& cause) const;
  // Throws where the download was stopped or its job cancelled.
  void check_stop() const;
  void resume_or_fail(bool may_resume, const std::string& cause);
  bool same_file(const response_headers& now) const;

  const std::string url_;
  const download_settings settings_;
  const curl_library& curl_;
  CURLM* multi_;
  std::unique_ptr<curl_request> request_;

  response_headers first_;
  bool have_first_ = false;
  std::string resume_url_;  // where the first request ended up after redirects

  std::vector<std::uint8_t> pending_;  // received, not yet read
  std::size_t pending_at_ = 0;
  std::uint64_t offset_ = 0;           // bytes received: the next one needed
  std::atomic<std::uint64_t> received_{0};
  std::atomic<unsigned> resumes_{0};
  bool ended_ = false;

  // The current request.
  std::uint64_t attempt_start_ = 0;
  bool checked_ = false;
  std::string refusal_;         // why its body was refused
  bool refusal_final_ = false;  // and whether a resume could help
  std::uint64_t discard_ = 0;   // bytes of a restarted body already taken before
  clock::time_point last_byte_at_;

  // The restart from byte 0: the bytes taken before must come again, unchanged.
  bool sealed_ = false;
  bool restarted_ = false;
  XXH3_state_t taken_hash_{};
  XXH3_state_t again_hash_{};

  std::atomic<bool> stopping_{false};
};

}  // namespace net
