// The writes a direct job keeps in flight on a device.
#include <gtest/gtest.h>

#include "device/queue_depth.h"

TEST(QueueDepth, FromTheDevicesQueueLimits) {
  const std::uint64_t MiB = 1 << 20;
  const struct {
    const char* device;
    std::uint64_t nr_requests, max_sectors_kb, write_size;
    unsigned expected;
  } cases[] = {
      {"loop device, 4 MiB writes: never more than 8", 128, 1280, 4 * MiB, 8},
      {"USB stick with a short queue", 4, 240, 4 * MiB, 1},
      {"card reader, small requests", 64, 120, 1 * MiB, 3},
      {"half the queue when a write is one request", 6, 4096, 1 * MiB, 3},
      {"a queue of one request still takes one write", 1, 512, 4 * MiB, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(queue_depth::from_limits(c.nr_requests, c.max_sectors_kb, c.write_size), c.expected) << c.device;
  }
}

TEST(QueueDepth, UnreadableQueueKeepsTheOldDepth) {
  EXPECT_EQ(queue_depth::for_device("/nonexistent/block/sdz", 4 << 20), queue_depth::unknown);
}

TEST(QueueDepth, EachSlowWriteHalvesTheWritesInFlightDownToOne) {
  using std::chrono::seconds;
  in_flight_limit limit(8);
  EXPECT_FALSE(limit.after_write(seconds(4)));
  EXPECT_EQ(limit.current(), 8u);
  const unsigned after_slow_writes[] = {4, 2, 1, 1};
  for (unsigned expected : after_slow_writes) {
    limit.after_write(seconds(6));
    EXPECT_EQ(limit.current(), expected);
  }
}
