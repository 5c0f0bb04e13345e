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

void publish(buffer_ring& ring, std::size_t i) {
  image_chunk* chunk = ring.take_free();
  std::fill(chunk->bytes.get(), chunk->bytes.get() + chunk_size, static_cast<std::uint8_t>(i));
  chunk->index = i;
  chunk->offset = i * chunk_size;
  chunk->length = chunk->hashed_length = chunk_size;
  ring.publish(chunk);
}

// Publishes `chunks` chunks, chunk i filled with byte i, then closes.
void read_all(buffer_ring& ring) {
  for (std::size_t i = 0; i < chunks; ++i) publish(ring, i);
  ring.close();
}

bool whole(const image_chunk& chunk, std::size_t i) {
  return chunk.index == i && chunk.offset == i * chunk_size && chunk.length == chunk_size &&
         std::all_of(chunk.bytes.get(), chunk.bytes.get() + chunk_size,
                     [&](std::uint8_t b) { return b == static_cast<std::uint8_t>(i); });
}

// Takes up to `count` chunks of `taker`, the next expected being chunk `taken`; the count
// of those whose stamp and bytes are right.
std::size_t take(buffer_ring& ring, std::size_t taker, std::size_t& taken, std::size_t count) {
  std::size_t right = 0;
  for (std::size_t n = 0; n < count; ++n) {
    image_chunk* chunk = ring.next(taker);
    if (chunk == nullptr) break;
    right += whole(*chunk, taken++) ? 1 : 0;
    ring.give_back(chunk);
  }
  return right;
}

// Takes every chunk of `taker` in order; the count of those whose stamp and bytes are right.
std::size_t take_all(buffer_ring& ring, std::size_t taker) {
  std::size_t taken = 0;
  const std::size_t right = take(ring, taker, taken, chunks);
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

// One thread plays the reader and three takers in an order that threads only sometimes
// take: taker 1 moves to the spool file and reads past taker 2, still on the ring; then
// taker 2 falls a window behind and moves too. The records between them must still be
// there when it reads them.
TEST(BufferRing, ATakerOvertakenOnTheSpoolFileStillReadsItsChunks) {
  const std::size_t depth = buffer_ring::group_depth(3, taker_depth);
  buffer_ring ring(depth, chunk_size, 3, taker_depth, true);
  std::size_t taken[3] = {0, 0, 0};
  std::size_t right[3] = {0, 0, 0};
  for (std::size_t i = 0; i < depth; ++i) publish(ring, i);
  right[0] += take(ring, 0, taken[0], depth);
  right[2] += take(ring, 2, taken[2], depth - 1);
  publish(ring, depth);  // no free buffer: taker 1 moves to the spool file
  ASSERT_TRUE(ring.spooled(1));
  const std::size_t end = 2 * depth - 1;
  for (std::size_t i = depth + 1; i < end; ++i) publish(ring, i);
  right[0] += take(ring, 0, taken[0], end - depth);
  right[1] += take(ring, 1, taken[1], end);  // past taker 2
  publish(ring, end);  // no free buffer: taker 2 moves to the spool file
  ASSERT_TRUE(ring.spooled(2));
  ring.close();
  for (std::size_t t = 0; t < 3; ++t) {
    right[t] += take(ring, t, taken[t], end + 1);
    EXPECT_EQ(right[t], end + 1) << "taker " << t;
    EXPECT_FALSE(ring.failure(t)) << "taker " << t;
  }
}

// A record whose space went back to the file system too early reads as zeros: the read
// fails the drive with EWRITE rather than hand it those zeros.
TEST(SpoolFile, ARecordThatIsNotWhatWasStoredIsRefused) {
  spool_file spool;
  image_chunk chunk(chunk_size);
  std::fill(chunk.bytes.get(), chunk.bytes.get() + chunk_size, std::uint8_t{7});
  chunk.length = chunk.hashed_length = chunk_size;
  const spool_file::place place = spool.append(chunk);
  spool.release(place.at, place.at + place.stored);
  image_chunk back(chunk_size);
  try {
    spool.read(place, back);
    ADD_FAILURE() << "a punched record was read back";
  } catch (const coded_error& e) {
    EXPECT_EQ(e.why(), reason::write);
    EXPECT_NE(std::string(e.what()).find("other bytes than were stored"), std::string::npos) << e.what();
  }
}
