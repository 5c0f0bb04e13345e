#include "device/io_queue.h"

#include <liburing.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace block_io {

struct io_queue::ring {
  io_uring uring{};
};

io_queue::io_queue(unsigned depth) : ring_(std::make_unique<ring>()) {
  const int code = io_uring_queue_init(depth, &ring_->uring, 0);
  if (code < 0) throw std::runtime_error(std::string("io_uring is not available: ") + std::strerror(-code));
}

io_queue::~io_queue() {
  try {
    while (in_flight_ > 0) wait();
  } catch (const std::exception&) {
    // Only a failing wait gets here; closing the ring still ends what is left.
  }
  io_uring_queue_exit(&ring_->uring);
}

namespace {

io_uring_sqe* next_entry(io_uring& uring) {
  io_uring_sqe* entry = io_uring_get_sqe(&uring);
  if (entry == nullptr) throw std::logic_error("io_queue: more requests than its depth");
  return entry;
}

void submit(io_uring& uring) {
  int code;
  while ((code = io_uring_submit(&uring)) == -EINTR || code == -EAGAIN) {
  }
  if (code < 0) throw std::runtime_error(std::string("io_uring submission failed: ") + std::strerror(-code));
}

}  // namespace

void io_queue::read(int fd, std::uint8_t* buffer, std::size_t size, std::uint64_t offset, std::uint64_t tag) {
  io_uring_sqe* entry = next_entry(ring_->uring);
  io_uring_prep_read(entry, fd, buffer, static_cast<unsigned>(size), offset);
  io_uring_sqe_set_data64(entry, tag);
  submit(ring_->uring);
  in_flight_ += 1;
}

void io_queue::write(int fd, const std::uint8_t* buffer, std::size_t size, std::uint64_t offset, std::uint64_t tag) {
  io_uring_sqe* entry = next_entry(ring_->uring);
  io_uring_prep_write(entry, fd, buffer, static_cast<unsigned>(size), offset);
  io_uring_sqe_set_data64(entry, tag);
  submit(ring_->uring);
  in_flight_ += 1;
}

io_queue::completion io_queue::wait() {
  io_uring_cqe* entry = nullptr;
  int code;
  while ((code = io_uring_wait_cqe(&ring_->uring, &entry)) == -EINTR) {
  }
  if (code < 0) throw std::runtime_error(std::string("io_uring wait failed: ") + std::strerror(-code));
  completion done{io_uring_cqe_get_data64(entry), entry->res};
  io_uring_cqe_seen(&ring_->uring, entry);
  in_flight_ -= 1;
  return done;
}

}  // namespace block_io
