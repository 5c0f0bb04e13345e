#pragma once
// The bounded ring of page-aligned buffers through which the image reader hands
// decoded chunks to the job thread. The ring owns the buffers; the reader fills free
// ones, the job thread takes them in order and gives each back when done. Either side
// may end the exchange (the reader by closing, the job thread by stopping), and a side
// waiting on the other always wakes then.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/block_io.h"

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
};

class buffer_ring {
 public:
  buffer_ring(std::size_t depth, std::size_t buffer_size);

  // Reader side. take_free waits for a free buffer; it returns nullptr once stopped.
  image_chunk* take_free();
  void publish(image_chunk* chunk);
  // No chunk follows; a non-empty `failure` says why the image ended early.
  void close(std::string failure = {});

  // Job side. next waits for the next chunk; nullptr once closed and drained.
  image_chunk* next();
  void give_back(image_chunk* chunk);
  // The job needs no more chunks: the reader ends at its next step.
  void stop();
  std::string failure() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<image_chunk>> chunks_;
  std::vector<image_chunk*> free_;
  std::deque<image_chunk*> filled_;
  bool closed_ = false;
  bool stopped_ = false;
  std::string failure_;
};
