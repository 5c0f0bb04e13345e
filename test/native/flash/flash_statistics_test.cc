#include "flash/flash_statistics.h"

#include <gtest/gtest.h>

#include <clocale>
#include <locale>
#include <nlohmann/json.hpp>

namespace {

const char* const fresh_json =
    "{\"completed\":0.000000,\"eta\":0.000000,\"duration\":0,\"speed\":0.000000,\"speedmin\":0.000000,"
    "\"speedmax\":0.000000,\"speedavg\":0.000000,\"avgblocks\":400,\"numwriteerrs\":0,\"numerrs\":0,"
    "\"errque\":\"\"}";

// A sample whose previous reading lies `seconds` back, for S=1 MiB blocks (credited x400).
void sample_at_speed(flash_statistics& s, double bytes_per_second, std::uint64_t i, std::uint64_t blocks) {
  const double seconds = (1048576.0 * 400) / bytes_per_second;
  auto previous = flash_statistics::clock::now() -
                  std::chrono::duration_cast<flash_statistics::clock::duration>(std::chrono::duration<double>(seconds));
  s.take_sample(i, blocks, 1048576, previous);
}

}  // namespace

TEST(FlashStatistics, FreshRecordRendersTheInitialLine) {
  EXPECT_EQ(flash_statistics().get_json(), fresh_json);
}

TEST(FlashStatistics, ErrorCountWrapsAtTwelveAndKeepsOnlyTheLastText) {
  flash_statistics s;
  s.error_queue("first");
  s.error_queue("second");
  s.error_queue("third");
  EXPECT_EQ(s.numerrs, 3u);
  EXPECT_EQ(s.errque, "third");
  for (int n = 4; n <= 12; ++n) s.error_queue("e" + std::to_string(n));
  EXPECT_EQ(s.numerrs, 0u);
  s.error_queue("thirteenth");
  EXPECT_EQ(s.numerrs, 1u);
  EXPECT_EQ(s.errque, "thirteenth");
}

TEST(FlashStatistics, ErrorTextWithQuotesAndControlsStaysValidJson) {
  flash_statistics s;
  const std::string text = "bad \"name\"\\ on\nline\t\x01 end";
  s.error_queue(text);
  auto parsed = nlohmann::json::parse(s.get_json());
  EXPECT_EQ(parsed["errque"], text);
  EXPECT_EQ(parsed.size(), 11u);
}

TEST(FlashStatistics, NumbersUseAPointWhateverTheLocale) {
  struct comma_decimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
  };
  const std::locale saved = std::locale::global(std::locale(std::locale::classic(), new comma_decimal));
  const bool have_german = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
  flash_statistics s;
  s.completed = 12.5;
  s.duration = -3;
  const std::string json = s.get_json();
  std::locale::global(saved);
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_NE(json.find("\"completed\":12.500000,"), std::string::npos) << json << " german=" << have_german;
  EXPECT_NE(json.find("\"duration\":-3,"), std::string::npos);
}

TEST(FlashStatistics, FirstFoldedSampleSetsMinMaxAndAverage) {
  flash_statistics s;
  sample_at_speed(s, 10e6, 0, 1000);
  EXPECT_EQ(s.numsamples, 1u);
  EXPECT_NEAR(s.speed, 10e6, 10e6 * 0.02);
  EXPECT_DOUBLE_EQ(s.speedmin, s.speed);
  EXPECT_DOUBLE_EQ(s.speedmax, s.speed);
  EXPECT_DOUBLE_EQ(s.speedavg, s.speed);
  EXPECT_DOUBLE_EQ(s.completed, 0.0);
  EXPECT_NEAR(s.eta, 1000.0 * 1048576 / s.speed, 1e-6);

  const double first = s.speed;
  sample_at_speed(s, 20e6, 400, 1000);
  EXPECT_DOUBLE_EQ(s.completed, 40.0);
  EXPECT_EQ(s.numsamples, 2u);
  EXPECT_DOUBLE_EQ(s.speedmin, first);
  EXPECT_DOUBLE_EQ(s.speedmax, s.speed);
  EXPECT_NEAR(s.speedavg, (first + s.speed) / 2, 1e-6);
}

TEST(FlashStatistics, ImplausibleSampleChangesOnlySpeedAndEta) {
  flash_statistics s;
  sample_at_speed(s, 10e6, 0, 1000);
  const flash_statistics before = s;
  // Far above the 500 MiB/s ceiling.
  flash_statistics::clock::time_point now = flash_statistics::clock::now();
  s.take_sample(400, 1000, 1048576, now);
  EXPECT_GE(s.speed, s.speedlimit);
  EXPECT_EQ(s.numsamples, before.numsamples);
  EXPECT_EQ(s.speedmin, before.speedmin);
  EXPECT_EQ(s.speedmax, before.speedmax);
  EXPECT_EQ(s.speedavg, before.speedavg);
  EXPECT_NE(s.eta, before.eta);
}

TEST(FlashStatistics, ResetStartsTheAverageAfreshAndKeepsTheFixedSettings) {
  flash_statistics s;
  sample_at_speed(s, 10e6, 0, 1000);
  s.error_queue("x");
  s.numwriteerrs = 5;
  s.duration = 9;
  s.reset();
  EXPECT_EQ(s.get_json(), fresh_json);
  EXPECT_EQ(s.numsamples, 0u);
  EXPECT_EQ(s.avgblocks, 400u);
  EXPECT_EQ(s.maxerrs, 12u);
  EXPECT_EQ(s.speedlimit, 524288000.0);
  sample_at_speed(s, 30e6, 0, 1000);
  EXPECT_DOUBLE_EQ(s.speedavg, s.speed);
}

TEST(FlashStatistics, CloseSetsEndFiguresAndKeepsTheSamples) {
  flash_statistics s;
  sample_at_speed(s, 10e6, 0, 1000);
  s.error_queue("kept");
  const auto start = flash_statistics::clock::now() - std::chrono::milliseconds(1500);
  s.close(start, false);
  EXPECT_EQ(s.completed, 100.0);
  EXPECT_EQ(s.speed, 0.0);
  EXPECT_EQ(s.eta, 0.0);
  EXPECT_GE(s.duration, 1500);
  EXPECT_NE(s.speedavg, 0.0);
  EXPECT_EQ(s.errque, "kept");
  s.close(start, true);
  EXPECT_EQ(s.completed, 0.0);
}
