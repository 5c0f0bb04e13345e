// What the JavaScript thread may do while jobs run, done in a tight loop: rendering
// both statistics, raising the cancel flags, setting changes and starts that the
// device refuses. Built with -fsanitize=thread (scripts/hardening.sh) an unguarded
// access between this thread and a job thread shows as a data race; in the normal
// build the checks below still catch torn or invalid statistics and wrong refusals.
#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

#include "flash_fixture.h"

using flash_test::flash_fixture;
using test_support::scoped_env;

namespace {

const char* const running = "a job is running on this device";

// Counts the jobs whose start was accepted and those whose thread has ended.
class job_tracker {
 public:
  ~job_tracker() { EXPECT_TRUE(wait_all()) << "a job thread outlived the test"; }

  // Runs `start` with an end callback; counts the job if the start was accepted.
  void start(const std::function<void(job_end_callback)>& start) {
    ++started_;
    try {
      start([this] { ++ended_; });
    } catch (...) {
      --started_;
      throw;
    }
  }
  bool all_ended() const { return ended_.load() == started_.load(); }
  bool wait_all() const {
    for (int i = 0; i < 6000 && !all_ended(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return all_ended();
  }

 private:
  std::atomic<int> started_{0};
  std::atomic<int> ended_{0};
};

// A call the device may refuse while a job runs: it either does its work or throws
// exactly the refusal, never anything else.
bool refused(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), running);
    return true;
  }
  return false;
}

// Every rendering is a whole JSON object with figures in their ranges.
void expect_whole(const statistics_record& record) {
  const auto stats = nlohmann::json::parse(record.get_json());
  ASSERT_TRUE(stats.is_object());
  const double completed = stats.at("completed");
  EXPECT_GE(completed, 0.0);
  EXPECT_LE(completed, 100.0);
  EXPECT_TRUE(stats.at("errque").is_string());
  EXPECT_GE(stats.at("duration").get<std::int64_t>(), 0);
}

class ConcurrencyStress : public flash_fixture {
 protected:
  static constexpr std::uint64_t block = 512;
  static constexpr std::uint64_t image_size = 48 * 1024 + 100;  // a padded last block
  static constexpr int rounds = 12;
  static constexpr int starts_per_round = 3;  // accepted extra starts, at most

  ConcurrencyStress() : sudo_password("FAKE_SUDO_PASSWORD", "pw") {}

  // One round: a write and a validation queued behind it, hammered until both ended.
  // With `cancelling`, the cancel flags are raised on every pass too.
  void round(flash_device& device, bool cancelling) {
    job_tracker jobs;
    const auto start_write = [&] { jobs.start([&](job_end_callback end) { device.write_async(std::move(end)); }); };
    const auto start_validate = [&] {
      jobs.start([&](job_end_callback end) { device.validate_async(std::move(end)); });
    };
    start_write();
    start_validate();
    int extra_starts = 0;
    while (!jobs.all_ended()) {
      expect_whole(device.write_stats);
      expect_whole(device.validate_stats);
      if (cancelling) {
        device.request_cancel_write();
        device.request_cancel_validate();
      }
      // Each setting keeps its value when a call gets through between two jobs.
      refused([&] { device.set_drive(disk.name); });
      refused([&] { device.set_image(image_path); });
      refused([&] { device.set_password("pw"); });
      refused([&] { device.set_write_block_size(block); });
      refused([&] { device.set_validate_block_size(block); });
      // A start that gets through is a real job; the round waits for it as well.
      if (extra_starts < starts_per_round) {
        extra_starts += !refused(start_write);
        extra_starts += !refused(start_validate);
      }
    }
    ASSERT_TRUE(jobs.wait_all());
  }

  scoped_env sudo_password;
};

TEST_F(ConcurrencyStress, JavaScriptSideCallsDuringJobsKeepEveryGuard) {
  auto device = make_device();
  prepare(*device, image_size, block);
  device->password = "pw";

  for (int i = 0; i < rounds; ++i) {
    const bool cancelling = i % 3 == 2;
    round(*device, cancelling);
    const auto written = stats(device->write_stats);
    const auto validated = stats(device->validate_stats);
    if (cancelling) {
      // Closed either way: cancelled (0) or done before the flag was seen (100).
      EXPECT_TRUE(written["completed"] == 0.0 || written["completed"] == 100.0) << written;
      EXPECT_TRUE(validated["completed"] == 0.0 || validated["completed"] == 100.0) << validated;
      continue;
    }
    EXPECT_EQ(written["completed"], 100.0) << "round " << i;
    EXPECT_EQ(written["errque"], "") << "round " << i;
    EXPECT_EQ(validated["completed"], 100.0) << "round " << i;
    EXPECT_EQ(validated["numwriteerrs"], 0) << "round " << i;
    EXPECT_EQ(validated["errque"], "") << "round " << i;
  }

  // The settings came through unchanged, and the drive holds the image and the zero fill.
  EXPECT_EQ(device->write_block_size, block);
  EXPECT_EQ(device->validate_block_size, block);
  EXPECT_EQ(device->image_path, image_path);
  auto expected = image;
  expected.resize(image_size + (block - image_size % block), 0);
  const auto drive = test_support::read_bytes(disk.path);
  ASSERT_GE(drive.size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), drive.begin()));
}

}  // namespace
