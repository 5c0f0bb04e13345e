#include <fstream>
#include <thread>

#include "flash_fixture.h"

using flash_test::failure_of;
using flash_test::flash_fixture;
using flash_test::job_end;
using test_support::scoped_env;

namespace {

// Holds a write at its unmount until release(): the drive shows a mounted partition,
// and the stand-in udisksctl waits while the hold file exists.
class HeldJobs : public flash_fixture {
 protected:
  HeldJobs() : hold("FAKE_UDISKSCTL_HOLD", dir.file("hold")) {
    disk.children = nlohmann::json::array(
        {{{"name", "fakesd1"}, {"path", dir.file("p1")}, {"type", "part"}, {"mountpoint", "/media/x"}}});
    list_disks({disk});
    test_support::write_file(dir.file("hold"), "");
  }
  void release() { std::remove(dir.file("hold").c_str()); }
  // Waits until the held job has reached udisksctl.
  void wait_until_held() {
    for (int i = 0; i < 1000 && tools.calls_of("udisksctl").empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(tools.calls_of("udisksctl").empty()) << "job never reached the unmount";
  }
  scoped_env hold;
};

const char* const running = "a job is running on this device";

}  // namespace

TEST(JobScheduler, SameKindIsRefusedOtherKindIsAccepted) {
  job_scheduler jobs;
  jobs.claim(job_kind::write);
  EXPECT_THROW(jobs.claim(job_kind::write), std::runtime_error);
  EXPECT_NO_THROW(jobs.claim(job_kind::validate));
  EXPECT_TRUE(jobs.any_active());
  jobs.abandon(job_kind::write);
  jobs.abandon(job_kind::validate);
  EXPECT_FALSE(jobs.any_active());
}

TEST(JobScheduler, SecondJobWaitsForTheDeviceUnlessCancelled) {
  job_scheduler jobs;
  std::atomic<bool> no_cancel{false};
  std::atomic<bool> cancel{false};
  ASSERT_TRUE(jobs.acquire_device(job_kind::write, no_cancel));
  std::atomic<bool> got_device{true};
  std::thread waiter([&] { got_device = jobs.acquire_device(job_kind::validate, cancel); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  cancel = true;
  jobs.wake_waiting();
  waiter.join();
  EXPECT_FALSE(got_device) << "a cancelled waiter gives up without the device";

  cancel = false;
  std::thread next([&] { got_device = jobs.acquire_device(job_kind::validate, cancel); });
  jobs.finish(job_kind::write, true);
  next.join();
  EXPECT_TRUE(got_device);
}

// The job started second may ask for the device first; it still comes second.
TEST(JobScheduler, DeviceGoesToJobsInTheOrderOfTheirStarts) {
  job_scheduler jobs;
  std::atomic<bool> no_cancel{false};
  jobs.claim(job_kind::write);
  jobs.claim(job_kind::validate);
  std::atomic<bool> validation_has_device{false};
  std::thread validation([&] { validation_has_device = jobs.acquire_device(job_kind::validate, no_cancel); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(validation_has_device) << "the validation overtook the write";
  ASSERT_TRUE(jobs.acquire_device(job_kind::write, no_cancel));
  jobs.finish(job_kind::write, true);
  validation.join();
  EXPECT_TRUE(validation_has_device);
  jobs.finish(job_kind::validate, true);

  // A job that gives up before its turn leaves the line for the one behind it.
  jobs.claim(job_kind::validate);
  jobs.claim(job_kind::write);
  std::thread write([&] { EXPECT_TRUE(jobs.acquire_device(job_kind::write, no_cancel)); });
  jobs.abandon(job_kind::validate);
  write.join();
  jobs.finish(job_kind::write, true);
  EXPECT_FALSE(jobs.any_active());
}

TEST_F(HeldJobs, SettingsAreRefusedWhileAJobRuns) {
  auto device = make_device();
  prepare(*device, 8192, 4096);
  job_end end;
  device->write_async(end.callback());
  wait_until_held();

  EXPECT_EQ(failure_of([&] { device->write_async(); }), running);
  EXPECT_EQ(failure_of([&] { device->set_drive(disk.name); }), running);
  EXPECT_EQ(failure_of([&] { device->set_image(image_path); }), running);
  EXPECT_EQ(failure_of([&] { device->set_password("x"); }), running);
  EXPECT_EQ(failure_of([&] { device->set_write_block_size(512); }), running);
  EXPECT_EQ(failure_of([&] { device->set_capacity_check(true); }), running);
  EXPECT_EQ(failure_of([&] { device->set_validate_block_size(512); }), "accepted");
  EXPECT_EQ(device->write_block_size, 4096u) << "a refusal changes nothing";
  EXPECT_FALSE(device->capacity_check);

  auto running_stats = stats(device->write_stats);
  EXPECT_EQ(running_stats["completed"], 0.0);
  EXPECT_EQ(running_stats["duration"], 0);

  release();
  ASSERT_TRUE(end.wait());
  EXPECT_EQ(failure_of([&] { device->set_write_block_size(4096); }), "accepted");
  EXPECT_EQ(stats(device->write_stats)["completed"], 100.0);
}

TEST_F(HeldJobs, ValidationStartedDuringTheWriteRunsAfterIt) {
  auto device = make_device();
  prepare(*device, 3 * 4096 + 7, 4096);
  job_end write_end;
  device->write_async(write_end.callback());
  wait_until_held();

  device->validate_stats.update([](flash_statistics& s) { s.error_queue("old"); });
  job_end validate_end;
  device->validate_async(validate_end.callback());
  EXPECT_EQ(stats(device->validate_stats)["errque"], "") << "reset at once";
  EXPECT_EQ(failure_of([&] { device->validate_async(); }), running);
  EXPECT_EQ(failure_of([&] { device->set_validate_block_size(512); }), running);

  release();
  ASSERT_TRUE(write_end.wait());
  ASSERT_TRUE(validate_end.wait());
  auto validated = stats(device->validate_stats);
  EXPECT_EQ(validated["numwriteerrs"], 0) << "the validation read what the write had written";
  EXPECT_EQ(validated["completed"], 100.0);
}

TEST_F(HeldJobs, CancelledWaitingJobEndsBeforeTouchingTheDrive) {
  scoped_env user("FAKE_WHOAMI", "alice");
  scoped_env accepted("FAKE_SUDO_PASSWORD", "pw");
  auto device = make_device();
  prepare(*device, 8192, 4096);
  device->password = "pw";
  job_end write_end;
  device->write_async(write_end.callback());
  wait_until_held();
  job_end validate_end;
  device->validate_async(validate_end.callback());
  device->request_cancel_validate();
  ASSERT_TRUE(validate_end.wait(std::chrono::seconds(10))) << "the waiting job ended at once";
  auto cancelled = stats(device->validate_stats);
  EXPECT_EQ(cancelled["completed"], 0.0);
  EXPECT_EQ(cancelled["numwriteerrs"], 0);

  release();
  ASSERT_TRUE(write_end.wait());
  const std::string read_grant = ":r -- ";
  for (const auto& call : tools.calls_of("sudo")) EXPECT_EQ(call.find(read_grant), std::string::npos) << call;
}

TEST_F(HeldJobs, WriteCancelledWhilePreparingWritesNothing) {
  auto device = make_device();
  prepare(*device, 100 * 4096 + 10, 4096);
  job_end end;
  device->write_async(end.callback());
  wait_until_held();
  device->request_cancel_write();
  release();
  ASSERT_TRUE(end.wait());
  auto cancelled = stats(device->write_stats);
  EXPECT_EQ(cancelled["completed"], 0.0);
  auto drive = test_support::read_bytes(disk.path);
  EXPECT_TRUE(std::all_of(drive.begin(), drive.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(HeldJobs, CancelBeforeAStartDoesNotCancelTheNextJob) {
  auto device = make_device();
  prepare(*device, 8192, 4096);
  device->request_cancel_write();
  release();
  run_write(*device);
  EXPECT_EQ(stats(device->write_stats)["completed"], 100.0);
}
