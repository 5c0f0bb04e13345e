// The job report: every error with its phase, and whether the data is complete, so a
// failing end step is not read as a failed write.
#include <sys/stat.h>

#include <thread>

#include "flash_fixture.h"

using flash_test::flash_fixture;

namespace {
class JobReport : public flash_fixture {};
}  // namespace

TEST_F(JobReport, CleanWriteAndVerification) {
  auto device = make_device();
  prepare(*device, 5 * 4096 + 9, 4096);
  run_write(*device);
  run_validate(*device);
  for (const auto* record : {&device->write_stats, &device->validate_stats}) {
    const auto report = nlohmann::json::parse(record->get_report_json());
    EXPECT_EQ(report["errors"], nlohmann::json::array());
    EXPECT_EQ(report["dataComplete"], true);
    EXPECT_EQ(report["bytes"], 5 * 4096 + 9);
    EXPECT_EQ(report["image"], (nlohmann::json{{"format", "raw"}, {"size", 5 * 4096 + 9}, {"blockMap", false}}));
  }
}

TEST_F(JobReport, FailedEndStepLeavesTheDataComplete) {
  auto device = make_device();
  device->end_pause_ms = 500;
  prepare(*device, 3 * 4096, 4096);
  flash_test::job_end end;
  device->write_async(end.callback());
  // The statistics close after the data, before the pause: then the refresh that
  // follows the pause finds no readable listing.
  while (stats(device->write_stats)["completed"] != 100.0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  test_support::write_file(dir.file("lsblk.json"), "not a listing");
  ASSERT_TRUE(end.wait());
  const auto report = nlohmann::json::parse(device->write_stats.get_report_json());
  EXPECT_EQ(report["dataComplete"], true);
  ASSERT_EQ(report["errors"].size(), 1u) << report;
  EXPECT_EQ(report["errors"][0]["phase"], "finish");
}

TEST_F(JobReport, ImageThatShrankIsADataError) {
  auto device = make_device();
  prepare(*device, 6 * 4096, 4096);
  device->set_first_block_last(false);  // the blocks before the missing one are written
  ::truncate(image_path.c_str(), 2 * 4096 + 10);
  run_write(*device);
  const auto report = nlohmann::json::parse(device->write_stats.get_report_json());
  EXPECT_EQ(report["dataComplete"], false);
  EXPECT_EQ(report["bytes"], 2 * 4096);
  EXPECT_EQ(report["errors"], (nlohmann::json::array({{{"phase", "data"},
                                                        {"reason", "EIMAGE"},
                                                        {"message", "failed to read image block #2 with 10/4096 bytes"},
                                                        {"code", nullptr},
                                                        {"offset", nullptr}}})));
}
