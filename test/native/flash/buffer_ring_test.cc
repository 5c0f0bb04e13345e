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

TEST(BufferRing, AFastTakerFinishesWhileTheSlowOnesHaveNotStarted) {
  buffer_ring ring(buffer_ring::group_depth(3, taker_depth), chunk_size, 3, taker_depth, true);
  std::thread reader([&] { read_all(ring); });
  auto fast = std::async(std::launch::async, [&] { return take_all(ring, 0); });
  ASSERT_EQ(fast.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the fast taker waited for the slow ones";
  EXPECT_EQ(fast.get(), chunks);
  // Both laggards read the spool file at once, while its space is given back behind them.
  auto slow = std::async(std::launch::async, [&] { return take_all(ring, 1); });
  EXPECT_EQ(take_all(ring, 2), chunks);
  EXPECT_EQ(slow.get(), chunks);
  reader.join();
  EXPECT_FALSE(ring.spooled(0));
  EXPECT_TRUE(ring.spooled(1) && ring.spooled(2));
  EXPECT_FALSE(ring.failure(1) || ring.failure(2));
  EXPECT_GE(ring.spooled_bytes(), (chunks - buffer_ring::group_depth(3, taker_depth)) * chunk_size);
}

// Takers of four paces, the slowest leaving halfway in some rounds: whoever moves to the
// spool file, and whenever its space is given back, each reads exactly its chunks. Run
// under -fsanitize=thread by scripts/hardening.sh.
TEST(BufferRing, TakersOfEveryPaceGetTheirChunks) {
  for (int round = 0; round < 10; ++round) {
    buffer_ring ring(buffer_ring::group_depth(4, taker_depth), chunk_size, 4, taker_depth, true);
    std::thread reader([&] { read_all(ring); });
    std::vector<std::future<std::size_t>> takers;
    for (std::size_t t = 0; t < 4; ++t) {
      takers.push_back(std::async(std::launch::async, [&, t] {
        std::size_t right = 0;
        for (std::size_t i = 0; image_chunk* chunk = ring.next(t); ++i) {
          right += chunk->index == i && chunk->bytes.get()[chunk_size - 1] == static_cast<std::uint8_t>(i) ? 1 : 0;
          ring.give_back(chunk);
          if (t == 3 && round % 2 == 1 && i == chunks / 2) break;
          std::this_thread::sleep_for(std::chrono::microseconds(t * t * 40));
        }
        ring.leave(t);
        return right;
      }));
    }
    for (std::size_t t = 0; t < 4; ++t) {
      EXPECT_EQ(takers[t].get(), t == 3 && round % 2 == 1 ? chunks / 2 + 1 : chunks) << "taker " << t << ", round " << round;
    }
    reader.join();
  }
}
