#pragma once
// The tests' HTTP server (test/js/url-server.js) in a node process of its own, on
// 127.0.0.1, stopped with the object.
#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>

#include "test_support.h"

namespace net_test {

class url_server {
 public:
  // `files` maps URL paths to { "file": path, ...the misbehaviour url-server.js takes }.
  url_server(const test_support::temp_dir& dir, const nlohmann::json& files);
  ~url_server();
  url_server(const url_server&) = delete;
  url_server& operator=(const url_server&) = delete;

  std::string url(const std::string& name) const { return base_ + name; }

 private:
  pid_t pid_ = -1;
  std::string base_;
};

}  // namespace net_test
