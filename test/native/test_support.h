#pragma once
// Shared helpers of the native tests: temporary folders, the stand-in tools on PATH,
// and listings that name the test's own files as disks.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "image/image_source.h"
#include "origin/image_origin.h"

namespace test_support {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable for the life of the object and restores it afterwards.
class scoped_env {
 public:
  scoped_env(std::string name, const std::string& value);
  ~scoped_env();
  scoped_env(const scoped_env&) = delete;
  scoped_env& operator=(const scoped_env&) = delete;

 private:
  std::string name_;
  bool had_value_;
  std::string old_value_;
};

// Runs `command` through /bin/sh with /usr/sbin and /sbin after the caller's PATH:
// Debian puts sfdisk, sgdisk and mkfs.vfat there, and an ordinary user's login leaves
// them off PATH. Returns the shell's exit status.
int run_with_system_tools(const std::string& command);

// Puts the stand-in tools (test/tools) first on PATH and logs their calls into a
// file of `dir`; see test/tools/README.md for the variables that drive them.
class stand_in_tools {
 public:
  explicit stand_in_tools(const temp_dir& dir);
  // Command lines the stand-ins received, one per call, in order ("lsblk --bytes ...").
  std::vector<std::string> calls() const;
  // Only the calls of one tool.
  std::vector<std::string> calls_of(const std::string& tool) const;
  const std::string& log_path() const { return log_path_; }

 private:
  std::string log_path_;
  scoped_env path_;
  scoped_env log_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
std::vector<std::uint8_t> read_bytes(const std::string& path);
void write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
// Deterministic pseudo-random bytes, different for each seed.
std::vector<std::uint8_t> pattern_bytes(std::size_t size, std::uint32_t seed);

// What `work` returns when run in a fresh child process: for what a process asks only
// once (who it runs as, whether lsblk is recent enough).
std::string in_a_child(const std::function<std::string()>& work);

}  // namespace test_support

namespace test_support {

// A loop device attached over a file of the test, detached again at the end. Needs
// root; `attached()` is false (with `why_not()` saying why) where it cannot be had.
class loop_device {
 public:
  explicit loop_device(const std::string& backing_file);
  ~loop_device();
  loop_device(const loop_device&) = delete;
  loop_device& operator=(const loop_device&) = delete;
  bool attached() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  const std::string& why_not() const { return why_not_; }

 private:
  std::string path_;
  std::string why_not_;
};

// A decoder of the image file at `path`, with the origin it reads from (which outlives it).
struct opened_image {
  std::unique_ptr<origin::image_origin> origin;
  std::unique_ptr<image::image_source> source;
  image::image_source* operator->() const { return source.get(); }
};
opened_image open_image(const std::string& path);

}  // namespace test_support
