#pragma once
// The bounded ring of page-aligned buffers through which the image reader hands
// decoded chunks to the jobs that take them: one job, or one per drive of a group. The
// ring owns the buffers; the reader fills free ones and publishes them to every taker
// still in; each taker takes them in order and gives each back when done; a buffer is
// free again once every taker has given it back. The reader may end the exchange by
// closing, a taker by leaving (the last one to leave stops the reader), and a side
// waiting on the other always wakes then.
//
// Each drive of a group goes at its own pace. When the reader finds no free buffer
// while one taker waits for data and another has a whole window of chunks it has not
// taken, that laggard moves to a spool file (spool_file): the reader stores every chunk
// there from the laggard's place on, the ring's buffers go back to the others, and the
// laggard reads its chunks back into buffers of its own. A laggard never comes back to
// the ring. Memory stays bounded: the ring, plus `taker_depth` buffers per laggard.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "flash/chunk_stamp.h"
#include "flash/spool_file.h"
#include "support/coded_error.h"

class buffer_ring {
 public:
  // The buffers a group's ring holds: each drive's share, and a window of chunks by
  // which a drive may fall behind the fastest before it moves to the spool file.
  static std::size_t group_depth(std::size_t takers, std::size_t taker_depth) {
    return takers == 1 ? taker_depth : 2 * taker_depth + takers - 1;
  }

  // `depth` buffers of `buffer_size` bytes for `takers` takers, each of which holds at
  // most `taker_depth` chunks at once. Laggards move to a spool file only where
  // `spool_laggards` is set and there are several takers.
  buffer_ring(std::size_t depth, std::size_t buffer_size, std::size_t takers = 1, std::size_t taker_depth = 1,
              bool spool_laggards = false);

  // Reader side. take_free waits for a free buffer; it returns nullptr once every
  // taker has left.
  image_chunk* take_free();
  void publish(image_chunk* chunk);
  // Returns a buffer take_free gave that holds nothing to publish (the image ended).
  void put_back_unused(image_chunk* chunk);
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
  // Why the taker's chunks ended early: the reader's failure, or its spool file's.
  std::optional<coded_error> failure(std::size_t taker = 0) const;

  // Whether the taker reads from the spool file; the bytes the file took in.
  bool spooled(std::size_t taker) const;
  std::uint64_t spooled_bytes() const;

 private:
  struct taker_state {
    bool in = true;
    bool spooled = false;
    std::uint64_t next = 0;  // sequence number of its next chunk
    std::vector<std::unique_ptr<image_chunk>> own;  // a spooled taker's buffers
    std::vector<image_chunk*> own_free;
    std::optional<coded_error> failure;
  };
  struct holding {
    std::uint64_t sequence = 0;
    std::size_t takers_left = 0;
  };

  // Under the lock.
  std::uint64_t end_sequence() const { return first_sequence_ + published_.size(); }
  bool laggard_to_spool() const;
  bool is_laggard(const taker_state& t) const;
  void release(image_chunk* chunk);
  image_chunk* next_spooled(std::unique_lock<std::mutex>& lock, taker_state& t);
  // On the reader thread: moves every laggard to the spool file, storing what they have not taken yet.
  void spool_laggards(std::unique_lock<std::mutex>& lock);
  // On the reader thread, without the lock: stores `chunk`; false once the file failed.
  bool store(const image_chunk& chunk, spool_file::place& place);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t buffer_size_;
  std::size_t taker_depth_;
  std::vector<std::unique_ptr<image_chunk>> chunks_;
  std::vector<image_chunk*> free_;
  // Chunks in order, from sequence number first_sequence_; null where already released.
  std::deque<image_chunk*> published_;
  std::uint64_t first_sequence_ = 0;
  std::unordered_map<image_chunk*, holding> held_;       // published ring chunks
  std::unordered_map<image_chunk*, std::size_t> owner_;  // spooled takers' own buffers
  std::vector<taker_state> takers_;
  std::size_t takers_in_;
  std::size_t ring_takers_;  // in and not spooled
  bool closed_ = false;
  std::optional<coded_error> failure_;

  // The spool file: made by the reader thread, which alone writes to it.
  bool spool_laggards_;
  std::unique_ptr<spool_file> spool_;
  std::vector<spool_file::place> stored_;  // from sequence number spool_base_ on
  std::uint64_t spool_base_ = 0;
  std::uint64_t spool_bytes_ = 0;
  std::uint64_t spool_released_ = 0;  // records whose space went back to the file system
  std::optional<coded_error> spool_failure_;
};
