// The ring's pacing of a group: a taker that falls behind goes on from the spool
// file, and the others do not wait for it.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "flash/buffer_ring.h"

namespace {

constexpr std::size_t chunk_size = 8192;
constexpr std::size_t chunks = 64;
constexpr std::size_t taker_depth = 4;

// Publishes `chunks` chunks, chunk i filled with byte i, then closes.
void read_all(buffer_ring& ring) {
  for (std::size_t i = 0; i < chunks; ++i) {
    image_chunk* chunk = ring.take_free();
    if (chunk == nullptr) return;
    std::fill(chunk->bytes.get(), chunk->bytes.get() + chunk_size, static_cast<std::uint8_t>(i));
    chunk->index = i;
    chunk->offset = i * chunk_size;
    chunk->length = chunk->hashed_length = chunk_size;
    ring.publish(chunk);
  }
  ring.close();
}

// Takes every chunk of `taker` in order; the count of those whose stamp and bytes are right.
std::size_t take_all(buffer_ring& ring, std::size_t taker) {
  std::size_t right = 0;
  for (std::size_t i = 0; image_chunk* chunk = ring.next(taker); ++i) {
    const bool whole = chunk->index == i && chunk->offset == i * chunk_size && chunk->length == chunk_size &&
                       std::all_of(chunk->bytes.get(), chunk->bytes.get() + chunk_size,
                                   [&](std::uint8_t b) { return b == static_cast<std::uint8_t>(i); });
    right += whole ? 1 : 0;
    ring.give_back(chunk);
  }
  ring.leave(taker);
  return right;
}

}  // namespace

TEST(BufferRing, AFastTakerFinishesWhileASlowOneHasNotStarted) {
  buffer_ring ring(buffer_ring::group_depth(2, taker_depth), chunk_size, 2, taker_depth, true);
  std::thread reader([&] { read_all(ring); });
  auto fast = std::async(std::launch::async, [&] { return take_all(ring, 0); });
  ASSERT_EQ(fast.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the fast taker waited for the slow one";
  EXPECT_EQ(fast.get(), chunks);
  EXPECT_EQ(take_all(ring, 1), chunks);
  reader.join();
  EXPECT_FALSE(ring.spooled(0));
  EXPECT_TRUE(ring.spooled(1));
  EXPECT_FALSE(ring.failure(1));
  EXPECT_GE(ring.spooled_bytes(), (chunks - buffer_ring::group_depth(2, taker_depth)) * chunk_size);
}
