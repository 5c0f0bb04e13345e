// The counterfeit pattern: differences that run to the image's end or repeat with a
// period are a drive smaller than it says; anything else is bad sectors.
#include <gtest/gtest.h>

#include "finish/counterfeit_pattern.h"

namespace {

constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * KiB;

struct pattern_case {
  const char* name;
  std::vector<std::vector<byte_range>> passes;
  std::uint64_t image_end;
  std::optional<std::uint64_t> usable;
};

class CounterfeitPattern : public ::testing::TestWithParam<pattern_case> {};

TEST_P(CounterfeitPattern, Classifies) {
  const pattern_case& c = GetParam();
  EXPECT_EQ(counterfeit_capacity(c.passes, c.image_end), c.usable);
}

const pattern_case cases[] = {
    {"BadSectorsInTheMiddle", {{{MiB, 8 * KiB}}}, 64 * MiB, std::nullopt},
    {"ARangeThatStaysLost", {{{MiB, 2 * MiB}}, {{MiB, 2 * MiB}}, {{MiB, 2 * MiB}}}, 64 * MiB, std::nullopt},
    {"DropsPast16MiB", {{{16 * MiB, 48 * MiB}}}, 64 * MiB, 16 * MiB},
    {"DropsPast16MiBWithMatchingZerosBetween", {{{16 * MiB, 4 * MiB}, {20 * MiB + 512 * KiB, 43 * MiB + 512 * KiB}}}, 64 * MiB, 16 * MiB},
    {"AllDiffersFromTheStart", {{{0, 64 * MiB}}}, 64 * MiB, std::nullopt},
    {"ShortRunAtTheEndIsBadSectors", {{{64 * MiB - 64 * KiB, 64 * KiB}}}, 64 * MiB, std::nullopt},
    {"WrapsTheStartOneRealSizeOn", {{{0, 8 * MiB}}, {{16 * MiB, 8 * MiB}}}, 24 * MiB, 16 * MiB},
    {"RepeatsWithAPeriodInOnePass", {{{MiB, MiB}, {17 * MiB, MiB}, {33 * MiB, MiB}}}, 64 * MiB, 16 * MiB},
    {"ARepairedSectorAndANewOneElsewhere", {{{MiB, 4 * KiB}}, {{9 * MiB, 4 * KiB}}}, 64 * MiB, std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Cases, CounterfeitPattern, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
