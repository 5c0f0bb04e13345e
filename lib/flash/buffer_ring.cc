#include "flash/buffer_ring.h"

buffer_ring::buffer_ring(std::size_t depth, std::size_t buffer_size, std::size_t takers)
    : next_sequence_(takers, 0), in_(takers, true), takers_in_(takers) {
  for (std::size_t i = 0; i < depth; ++i) {
    chunks_.push_back(std::make_unique<image_chunk>(buffer_size));
    free_.push_back(chunks_.back().get());
  }
}

image_chunk* buffer_ring::take_free() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return takers_in_ == 0 || !free_.empty(); });
  if (takers_in_ == 0) return nullptr;
  image_chunk* chunk = free_.back();
  free_.pop_back();
  return chunk;
}

void buffer_ring::publish(image_chunk* chunk) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    takers_left_[chunk] = takers_in_;
    published_.push_back(chunk);
  }
  changed_.notify_all();
}

void buffer_ring::close(std::optional<coded_error> failure) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    failure_ = std::move(failure);
  }
  changed_.notify_all();
}

const image_chunk* buffer_ring::first_chunk() {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto published_any = [this] { return first_sequence_ > 0 || !published_.empty(); };
  changed_.wait(lock, [&] { return closed_ || published_any(); });
  // The first chunk stays published until every taker, the asking one too, gave it back.
  return first_sequence_ == 0 && !published_.empty() ? published_.front() : nullptr;
}

image_chunk* buffer_ring::next(std::size_t taker) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::uint64_t& sequence = next_sequence_[taker];
  const auto available = [&] { return sequence < first_sequence_ + published_.size(); };
  changed_.wait(lock, [&] { return !in_[taker] || closed_ || available(); });
  if (!in_[taker] || !available()) return nullptr;
  return published_[static_cast<std::size_t>(sequence++ - first_sequence_)];
}

void buffer_ring::give_back(image_chunk* chunk) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    release(chunk);
  }
  changed_.notify_all();
}

void buffer_ring::leave(std::size_t taker) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!in_[taker]) return;
    in_[taker] = false;
    takers_in_ -= 1;
    // What was published for this taker and not taken is released on its behalf.
    for (std::uint64_t s = next_sequence_[taker]; s < first_sequence_ + published_.size(); ++s) {
      release(published_[static_cast<std::size_t>(s - first_sequence_)]);
    }
  }
  changed_.notify_all();
}

void buffer_ring::release(image_chunk* chunk) {
  if (--takers_left_[chunk] > 0) return;
  takers_left_.erase(chunk);
  free_.push_back(chunk);
  // Chunks leave the published sequence in order, once every taker is done with them.
  while (!published_.empty() && takers_left_.count(published_.front()) == 0) {
    published_.pop_front();
    first_sequence_ += 1;
  }
}

std::optional<coded_error> buffer_ring::failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}
