#pragma once
// A flash device over a "drive" that is a file of the test's own temporary folder,
// listed as a removable disk by the stand-in lsblk.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "flash/flash_device.h"
#include "test_support.h"

namespace flash_test {

struct fake_disk {
  std::string name = "fakesd";
  std::string path;  // a file of the test
  std::uint64_t size = 1 << 20;
  std::uint64_t sector = 512;
  bool removable = true;
  bool hotplug = true;
  nlohmann::json children = nullptr;
};

class flash_fixture : public ::testing::Test {
 protected:
  flash_fixture();

  // Writes the listing the stand-in lsblk prints, with `disks` as its disks.
  void list_disks(const std::vector<fake_disk>& disks);
  // A device whose waits are shortened for tests.
  std::shared_ptr<flash_device> make_device();
  // The same with the password the stand-in sudo accepts, as a caller who is not root gives.
  std::shared_ptr<flash_device> make_job_device();
  // Creates the drive file (zero-filled) and an image of `image_size` pattern bytes,
  // lists the drive, and chooses both on `device`.
  void prepare(flash_device& device, std::uint64_t image_size, std::uint64_t block_size);
  // Writes an image of `image_size` pattern bytes and chooses it, the listed drive and
  // both block sizes on `device`; gives it the password the stand-in sudo accepts, which
  // a caller that is not root needs for a write.
  void choose(flash_device& device, std::uint64_t image_size, std::uint64_t block_size);

  // Starts a job and waits until its thread has ended.
  void run_write(flash_device& device);
  void run_validate(flash_device& device, const std::string& report_path = {});
  static nlohmann::json stats(const statistics_record& record);

  test_support::temp_dir dir;
  test_support::stand_in_tools tools{dir};
  test_support::scoped_env listing;
  test_support::scoped_env sudo_accepts{"FAKE_SUDO_PASSWORD", "fixture password"};
  fake_disk disk;
  std::string image_path;
  std::vector<std::uint8_t> image;
};

// The text of the exception `call` throws, or "accepted" when it throws none.
std::string failure_of(const std::function<void()>& call);

// Waits for a job started with `callback()` as its end callback.
class job_end {
 public:
  job_end_callback callback() {
    return [this] { ended_.set_value(); };
  }
  bool wait(std::chrono::seconds limit = std::chrono::seconds(60)) {
    return future_.wait_for(limit) == std::future_status::ready;
  }

 private:
  std::promise<void> ended_;
  std::future<void> future_ = ended_.get_future();
};

}  // namespace flash_test
