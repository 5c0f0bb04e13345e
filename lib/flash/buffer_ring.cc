#include "flash/buffer_ring.h"

#include <algorithm>
#include <limits>

buffer_ring::buffer_ring(std::size_t depth, std::size_t buffer_size, std::size_t takers, std::size_t taker_depth,
                         bool spool_laggards)
    : buffer_size_(buffer_size),
      taker_depth_(std::max<std::size_t>(taker_depth, 1)),
      takers_(takers),
      takers_in_(takers),
      ring_takers_(takers),
      spool_laggards_(spool_laggards && takers > 1) {
  for (std::size_t i = 0; i < depth; ++i) {
    chunks_.push_back(std::make_unique<image_chunk>(buffer_size));
    free_.push_back(chunks_.back().get());
  }
}

image_chunk* buffer_ring::take_free() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return takers_in_ == 0 || !free_.empty() || laggard_to_spool(); });
    if (takers_in_ == 0) return nullptr;
    if (!free_.empty()) {
      image_chunk* chunk = free_.back();
      free_.pop_back();
      return chunk;
    }
    spool_laggards(lock);
  }
}

void buffer_ring::put_back_unused(image_chunk* chunk) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(chunk);
  }
  changed_.notify_all();
}

bool buffer_ring::is_laggard(const taker_state& t) const {
  return t.in && !t.spooled && end_sequence() - t.next >= taker_depth_;
}

// One taker waits for the reader while another leaves a whole window of chunks untaken.
bool buffer_ring::laggard_to_spool() const {
  if (!spool_laggards_ || spool_failure_ || ring_takers_ < 2) return false;
  const bool one_waits = std::any_of(takers_.begin(), takers_.end(), [this](const taker_state& t) {
    return t.in && !t.spooled && t.next == end_sequence();
  });
  return one_waits && std::any_of(takers_.begin(), takers_.end(), [this](const taker_state& t) { return is_laggard(t); });
}

void buffer_ring::spool_laggards(std::unique_lock<std::mutex>& lock) {
  std::vector<std::pair<std::size_t, std::uint64_t>> laggards;  // taker, its next sequence number
  for (std::size_t i = 0; i < takers_.size(); ++i) {
    if (is_laggard(takers_[i])) laggards.emplace_back(i, takers_[i].next);
  }
  const std::uint64_t end = end_sequence();
  if (!spool_) {
    try {
      spool_ = std::make_unique<spool_file>();
    } catch (const coded_error& e) {
      spool_failure_ = e;  // the group goes on at the pace of its slowest drive
      return;
    }
    spool_base_ = std::min_element(laggards.begin(), laggards.end(), [](const auto& a, const auto& b) {
                    return a.second < b.second;
                  })->second;
  }
  // What the spool file does not hold yet (the chunks published before it was made).
  std::vector<image_chunk*> to_store;
  for (std::uint64_t s = spool_base_ + stored_.size(); s < end; ++s) {
    to_store.push_back(published_[static_cast<std::size_t>(s - first_sequence_)]);
  }
  for (const auto& [taker, next] : laggards) {
    takers_[taker].spooled = true;
    ring_takers_ -= 1;
  }
  // The laggards' counts keep these chunks from being reused while they are stored.
  lock.unlock();
  std::vector<spool_file::place> places;
  for (image_chunk* chunk : to_store) {
    spool_file::place place;
    if (!store(*chunk, place)) break;
    places.push_back(place);
  }
  lock.lock();
  for (const spool_file::place& place : places) {
    stored_.push_back(place);
    spool_bytes_ += place.stored;
  }
  for (const auto& [taker, next] : laggards) {
    for (std::uint64_t s = next; s < end; ++s) release(published_[static_cast<std::size_t>(s - first_sequence_)]);
  }
  changed_.notify_all();
}

bool buffer_ring::store(const image_chunk& chunk, spool_file::place& place) {
  try {
    place = spool_->append(chunk);
    return true;
  } catch (const coded_error& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    spool_failure_ = e;
    return false;
  }
}

void buffer_ring::publish(image_chunk* chunk) {
  spool_file::place place;
  const bool stored = spool_ && !spool_failure_ && store(*chunk, place);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stored) {
      stored_.push_back(place);
      spool_bytes_ += place.stored;
    }
    if (ring_takers_ == 0) {  // only laggards are left: they read the spool file
      published_.push_back(nullptr);
      free_.push_back(chunk);
    } else {
      held_[chunk] = {end_sequence(), ring_takers_};
      published_.push_back(chunk);
    }
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
  taker_state& t = takers_[taker];
  changed_.wait(lock, [&] { return !t.in || t.spooled || closed_ || t.next < end_sequence(); });
  if (t.spooled) return next_spooled(lock, t);
  if (!t.in || t.next >= end_sequence()) return nullptr;
  return published_[static_cast<std::size_t>(t.next++ - first_sequence_)];
}

image_chunk* buffer_ring::next_spooled(std::unique_lock<std::mutex>& lock, taker_state& t) {
  if (t.own.empty()) {
    for (std::size_t i = 0; i < taker_depth_; ++i) {
      t.own.push_back(std::make_unique<image_chunk>(buffer_size_));
      t.own_free.push_back(t.own.back().get());
      owner_[t.own.back().get()] = static_cast<std::size_t>(&t - takers_.data());
    }
  }
  const auto stored = [&] { return t.next < spool_base_ + stored_.size(); };
  changed_.wait(lock, [&] {
    return !t.in || (stored() ? !t.own_free.empty() : closed_ || spool_failure_.has_value());
  });
  if (!t.in) return nullptr;
  if (!stored()) {
    if (spool_failure_) t.failure = spool_failure_;
    return nullptr;
  }
  const spool_file::place place = stored_[static_cast<std::size_t>(t.next - spool_base_)];
  t.next += 1;
  image_chunk* chunk = t.own_free.back();
  t.own_free.pop_back();
  lock.unlock();
  std::optional<coded_error> unread;
  try {
    spool_->read(place, *chunk);
  } catch (const coded_error& e) {
    unread = e;
  }
  lock.lock();
  if (unread) {
    t.own_free.push_back(chunk);
    t.failure = std::move(unread);
    return nullptr;
  }
  // The space every taker still in has passed goes back to the file system. A laggard
  // may still be reading the record before its next one, outside the lock; a taker on
  // the ring may move to the spool file at its next one, though a laggard overtook it.
  std::uint64_t passed = std::numeric_limits<std::uint64_t>::max();  // records every taker is done with
  for (const taker_state& other : takers_) {
    if (!other.in) continue;
    std::uint64_t done = other.next > spool_base_ ? other.next - spool_base_ : 0;
    if (other.spooled && done > 0) done -= 1;
    passed = std::min(passed, done);
  }
  if (passed <= spool_released_) return chunk;
  const std::uint64_t from = stored_[static_cast<std::size_t>(spool_released_)].at;
  const spool_file::place& last = stored_[static_cast<std::size_t>(passed - 1)];
  const std::uint64_t to = last.at + last.stored;
  spool_released_ = passed;
  lock.unlock();
  spool_->release(from, to);
  return chunk;
}

void buffer_ring::give_back(image_chunk* chunk) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto own = owner_.find(chunk);
    if (own != owner_.end()) {
      takers_[own->second].own_free.push_back(chunk);
    } else {
      release(chunk);
    }
  }
  changed_.notify_all();
}

void buffer_ring::leave(std::size_t taker) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    taker_state& t = takers_[taker];
    if (!t.in) return;
    t.in = false;
    takers_in_ -= 1;
    if (!t.spooled) {
      ring_takers_ -= 1;
      // What was published for this taker and not taken is released on its behalf.
      for (std::uint64_t s = t.next; s < end_sequence(); ++s) {
        release(published_[static_cast<std::size_t>(s - first_sequence_)]);
      }
    }
  }
  changed_.notify_all();
}

void buffer_ring::release(image_chunk* chunk) {
  const auto held = held_.find(chunk);
  if (--held->second.takers_left > 0) return;
  published_[static_cast<std::size_t>(held->second.sequence - first_sequence_)] = nullptr;
  held_.erase(held);
  free_.push_back(chunk);
  // Chunks leave the published sequence in order, once every taker is done with them.
  while (!published_.empty() && published_.front() == nullptr) {
    published_.pop_front();
    first_sequence_ += 1;
  }
}

std::optional<coded_error> buffer_ring::failure(std::size_t taker) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return takers_[taker].failure ? takers_[taker].failure : failure_;
}

bool buffer_ring::spooled(std::size_t taker) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return takers_[taker].spooled;
}

std::uint64_t buffer_ring::spooled_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return spool_bytes_;
}
