#include "flash/device_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <unordered_map>

#include "device/io_queue.h"
#include "support/coded_error.h"

namespace {

class sync_writer : public device_writer {
 public:
  sync_writer(block_io::unique_fd fd, written_callback written) : fd_(std::move(fd)), written_(std::move(written)) {}

  void write(image_chunk* chunk, std::size_t length) override {
    written_(chunk, length, block_io::write_full_at(fd_.get(), chunk->bytes.get(), length, chunk->offset));
  }
  void settle() override {}
  int flush() override { return 0; }  // every write was synchronous, its error reported
  bool direct() const override { return false; }

 private:
  int close_fd() override { return fd_.close(); }

  block_io::unique_fd fd_;
  written_callback written_;
};

class direct_writer : public device_writer {
 public:
  direct_writer(block_io::unique_fd fd, unsigned max_in_flight, written_callback written)
      : fd_(std::move(fd)), queue_(max_in_flight), max_in_flight_(max_in_flight), written_(std::move(written)) {}
  ~direct_writer() override {
    try {
      settle();
    } catch (const std::exception&) {
      // The queue's own end waits for what is left.
    }
  }

  void write(image_chunk* chunk, std::size_t length) override {
    if (queue_.in_flight() >= max_in_flight_) reap_one();
    queue_.write(fd_.get(), chunk->bytes.get(), length, chunk->offset, reinterpret_cast<std::uintptr_t>(chunk));
    lengths_[chunk] = length;
  }

  void settle() override {
    while (queue_.in_flight() > 0) reap_one();
  }

  int flush() override { return ::fdatasync(fd_.get()) == 0 ? 0 : errno; }
  bool direct() const override { return true; }

 private:
  int close_fd() override { return fd_.close(); }

  void reap_one() {
    const block_io::io_queue::completion done = queue_.wait();
    auto* chunk = reinterpret_cast<image_chunk*>(static_cast<std::uintptr_t>(done.tag));
    const std::size_t length = lengths_[chunk];
    lengths_.erase(chunk);
    block_io::write_result result{done.result, 0};
    if (done.result < 0) {
      result = {-1, static_cast<int>(-done.result)};
    } else if (static_cast<std::size_t>(done.result) < length) {
      // A short write: the rest goes one request at a time, at its own offset.
      const auto written = static_cast<std::size_t>(done.result);
      const block_io::write_result rest = block_io::write_full_at(fd_.get(), chunk->bytes.get() + written,
                                                                  length - written, chunk->offset + written);
      result = {static_cast<std::int64_t>(written) + std::max<std::int64_t>(rest.written, 0), rest.error};
    }
    written_(chunk, length, result);
  }

  block_io::unique_fd fd_;
  block_io::io_queue queue_;
  unsigned max_in_flight_;
  written_callback written_;
  std::unordered_map<image_chunk*, std::size_t> lengths_;
};

block_io::unique_fd open_exclusive(const std::string& path, int flags) {
  return block_io::unique_fd(::open(path.c_str(), O_WRONLY | O_EXCL | O_CLOEXEC | flags));
}

}  // namespace

int device_writer::finish() {
  const int flushed = flush();
  const int closed = close_fd();
  return flushed != 0 ? flushed : closed;
}

std::unique_ptr<device_writer> open_device_writer(const std::string& path, write_mode mode, unsigned max_in_flight,
                                                  device_writer::written_callback written) {
  if (mode == write_mode::direct) {
    block_io::unique_fd fd = open_exclusive(path, O_DIRECT);
    if (fd.valid()) {
      try {
        return std::make_unique<direct_writer>(std::move(fd), max_in_flight, written);
      } catch (const std::runtime_error&) {
        // No io_uring here: the synchronous path below.
      }
    } else if (errno != EINVAL) {
      throw coded_error(reason::write, "failed to open device: " + block_io::last_error_text(), errno);
    }
  }
  block_io::unique_fd fd = open_exclusive(path, O_DSYNC);
  if (!fd.valid()) throw coded_error(reason::write, "failed to open device: " + block_io::last_error_text(), errno);
  return std::make_unique<sync_writer>(std::move(fd), std::move(written));
}
