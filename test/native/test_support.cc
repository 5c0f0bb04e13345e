#include "test_support.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test_support {

temp_dir::temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/flasher-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

scoped_env::scoped_env(std::string name, const std::string& value) : name_(std::move(name)) {
  const char* old = std::getenv(name_.c_str());
  had_value_ = old != nullptr;
  if (had_value_) old_value_ = old;
  ::setenv(name_.c_str(), value.c_str(), 1);
}

scoped_env::~scoped_env() {
  if (had_value_) {
    ::setenv(name_.c_str(), old_value_.c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

int run_with_system_tools(const std::string& command) {
  return std::system(("PATH=\"$PATH:/usr/sbin:/sbin\"; " + command).c_str());
}

namespace {
std::string path_with_stand_ins() {
  const char* old = std::getenv("PATH");
  return std::string(FLASHER_TEST_TOOLS) + ":" + (old ? old : "/usr/bin:/bin");
}
}  // namespace

stand_in_tools::stand_in_tools(const temp_dir& dir)
    : log_path_(dir.file("tool-calls.log")),
      path_("PATH", path_with_stand_ins()),
      log_("FAKE_TOOL_LOG", log_path_) {}

std::vector<std::string> stand_in_tools::calls() const {
  std::vector<std::string> lines;
  std::ifstream in(log_path_);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> stand_in_tools::calls_of(const std::string& tool) const {
  std::vector<std::string> lines;
  for (const auto& line : calls()) {
    if (line == tool || line.rfind(tool + " ", 0) == 0) lines.push_back(line);
  }
  return lines;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::uint8_t> read_bytes(const std::string& path) {
  std::string content = read_file(path);
  return std::vector<std::uint8_t>(content.begin(), content.end());
}

void write_bytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  write_file(path, std::string(bytes.begin(), bytes.end()));
}

std::vector<std::uint8_t> pattern_bytes(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

}  // namespace test_support

#include <sys/wait.h>
#include <unistd.h>

#include "support/process.h"
#include "support/shell.h"

namespace test_support {

loop_device::loop_device(const std::string& backing_file) {
  if (::geteuid() != 0) {
    why_not_ = "loop devices need root";
    return;
  }
  std::string output = process::system("losetup --find --show " + shell::quote(backing_file));
  while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
  if (output.rfind("/dev/loop", 0) != 0 || output.find('\n') != std::string::npos) {
    why_not_ = "losetup could not attach a loop device: " + output;
    return;
  }
  path_ = output;
}

loop_device::~loop_device() {
  if (attached()) process::system("losetup -d " + shell::quote(path_));
}

std::string in_a_child(const std::function<std::string()>& work) {
  int ends[2];
  if (::pipe(ends) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ends[0]);
    std::string answer;
    try {
      answer = work();
    } catch (const std::exception& e) {
      answer = std::string("threw: ") + e.what();
    }
    const ssize_t written = ::write(ends[1], answer.data(), answer.size());
    ::_exit(written == static_cast<ssize_t>(answer.size()) ? 0 : 1);
  }
  ::close(ends[1]);
  std::string answer;
  char chunk[512];
  for (ssize_t n; (n = ::read(ends[0], chunk, sizeof chunk)) > 0;) answer.append(chunk, static_cast<std::size_t>(n));
  ::close(ends[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("the child process failed");
  return answer;
}

}  // namespace test_support

namespace test_support {

opened_image open_image(const std::string& path) {
  opened_image opened;
  origin::image_request request;
  request.location = path;
  opened.origin = std::make_unique<origin::image_origin>(request, image::inspect(path));
  opened.source = image::open(opened.origin->stored(), opened.origin->info(), opened.origin->random());
  return opened;
}

}  // namespace test_support
