#pragma once
// The bounded ring of page-aligned buffers through which the image reader hands
// decoded chunks to the jobs that take them: one job, or one per drive of a group. The
// ring owns the buffers; the reader fills free ones and publishes them to every taker
// still in; each taker takes them in order and gives each back when done; a buffer is
// free again once every taker has given it back. The reader may end the exchange by
// closing, a taker by leaving (the last one to leave stops the reader), and a side
// waiting on the other always wakes then.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "device/block_io.h"
#include "flash/write_record.h"
#include "support/coded_error.h"

// One chunk of the image and where it belongs on the drive.
struct image_chunk {
  explicit image_chunk(std::size_t capacity) : bytes(capacity) {}

  block_io::aligned_buffer bytes;
  std::uint64_t offset = 0;    // drive (and decoded image) offset of bytes[0]
  std::size_t length = 0;      // image bytes held
  std::size_t expected = 0;    // image bytes the chunk should hold; more than length where the image ended early
  std::uint64_t index = 0;     // chunks counted from 0
  bool image_tail = false;     // the image's last, partial block (padded with zeros when written)
  std::uint64_t trailing = 0;  // bytes the image holds beyond its size, counted after the tail
  // The hash of bytes[0, hashed_length), zeros past `length`: computed once for every
  // taker that writes that many bytes.
  std::size_t hashed_length = 0;
  hash128 hash;
};

class buffer_ring {
 public:
  buffer_ring(std::size_t depth, std::size_t buffer_size, std::size_t takers = 1);

  // Reader side. take_free waits for a free buffer; it returns nullptr once every
  // taker has left.
  image_chunk* take_free();
  void publish(image_chunk* chunk);
  // No chunk follows; a `failure` says why the image ended early.
  void close(std::optional<coded_error> failure = std::nullopt);

  // Waits until the first chunk is published or the ring closed; returns that chunk,
  // or nullptr when none came. Only a taker that has not taken it yet may look at it.
  const image_chunk* first_chunk();

  // Taker side. next waits for the taker's next chunk; nullptr once closed and drained.
  image_chunk* next(std::size_t taker = 0);
  void give_back(image_chunk* chunk);
  // The taker needs no more chunks (it gave back every one it took).
  void leave(std::size_t taker = 0);
  std::optional<coded_error> failure() const;

 private:
  void release(image_chunk* chunk);  // under the lock

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<image_chunk>> chunks_;
  std::vector<image_chunk*> free_;
  std::deque<image_chunk*> published_;       // in order; front is sequence number first_sequence_
  std::uint64_t first_sequence_ = 0;
  std::unordered_map<image_chunk*, std::size_t> takers_left_;  // per published chunk
  std::vector<std::uint64_t> next_sequence_;  // per taker
  std::vector<bool> in_;                      // per taker
  std::size_t takers_in_;
  bool closed_ = false;
  std::optional<coded_error> failure_;
};
