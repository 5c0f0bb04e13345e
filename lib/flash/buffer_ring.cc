#include "flash/buffer_ring.h"

buffer_ring::buffer_ring(std::size_t depth, std::size_t buffer_size) {
  for (std::size_t i = 0; i < depth; ++i) {
    chunks_.push_back(std::make_unique<image_chunk>(buffer_size));
    free_.push_back(chunks_.back().get());
  }
}

image_chunk* buffer_ring::take_free() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return stopped_ || !free_.empty(); });
  if (stopped_) return nullptr;
  image_chunk* chunk = free_.back();
  free_.pop_back();
  return chunk;
}

void buffer_ring::publish(image_chunk* chunk) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    filled_.push_back(chunk);
  }
  changed_.notify_all();
}

void buffer_ring::close(std::string failure) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    failure_ = std::move(failure);
  }
  changed_.notify_all();
}

image_chunk* buffer_ring::next() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return stopped_ || closed_ || !filled_.empty(); });
  if (stopped_ || filled_.empty()) return nullptr;
  image_chunk* chunk = filled_.front();
  filled_.pop_front();
  return chunk;
}

void buffer_ring::give_back(image_chunk* chunk) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(chunk);
  }
  changed_.notify_all();
}

void buffer_ring::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  changed_.notify_all();
}

std::string buffer_ring::failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}
