#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "support/hexshow.h"

namespace {

using bytes = std::vector<std::uint8_t>;

std::string dump(const bytes& data, std::uint64_t width, std::uint64_t start, std::uint64_t stop) {
  testing::internal::CaptureStdout();
  hex::show(data, width, start, stop);
  return testing::internal::GetCapturedStdout();
}

// 0x00, 0x01, ... for `count` bytes.
bytes counting(std::size_t count) {
  bytes data(count);
  for (std::size_t i = 0; i < count; ++i) data[i] = static_cast<std::uint8_t>(i);
  return data;
}

TEST(HexShow, EmptyStretchWritesTwoLineBreaks) {
  const bytes data = counting(8);
  EXPECT_EQ(dump(data, 16, 3, 3), "\n\n");
  EXPECT_EQ(dump(data, 16, 8, 100), "\n\n");
  EXPECT_EQ(dump(data, 16, 50, 100), "\n\n");
  EXPECT_EQ(dump(bytes{}, 16, 0, 10), "\n\n");
}

TEST(HexShow, CallsOutsideTheContractWriteTwoLineBreaks) {
  const bytes data = counting(8);
  EXPECT_EQ(dump(data, 16, 5, 2), "\n\n");
  EXPECT_EQ(dump(data, 0, 0, 8), "\n\n");
}

TEST(HexShow, OneWidthMakesOneLine) {
  EXPECT_EQ(dump(bytes{'A', 'b', ' ', '~'}, 4, 0, 4), "\n0x000000: 41 62 20 7e     Ab ~\n\n");
}

TEST(HexShow, FullLineOfSixteen) {
  bytes data = counting(16);
  for (auto& byte : data) byte += 'a';
  EXPECT_EQ(dump(data, 16, 0, 16),
            "\n0x000000: 61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f 70     abcdefghijklmnop\n\n");
}

TEST(HexShow, OffsetsCountFromTheStartIndex) {
  const bytes data = counting(64);
  EXPECT_EQ(dump(data, 16, 32, 64),
            "\n"
            "0x000000: 20 21 22 23 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f      !\"#$%&'()*+,-./\n"
            "0x000010: 30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f     0123456789:;<=>?\n"
            "\n");
}

TEST(HexShow, NonPrintableBytesShowAsDots) {
  EXPECT_EQ(dump(bytes{0x1F, 0x20, 0x7E, 0x7F, 0x80, 0x00, 0xFF}, 7, 0, 7),
            "\n0x000000: 1f 20 7e 7f 80 00 ff     . ~....\n\n");
}

TEST(HexShow, ShortLastLineIsNotPadded) {
  bytes data = counting(20);
  for (auto& byte : data) byte += 'A';
  EXPECT_EQ(dump(data, 16, 0, 20),
            "\n"
            "0x000000: 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50     ABCDEFGHIJKLMNOP\n"
            "0x000010: 51 52 53 54     QRST\n"
            "\n");
}

TEST(HexShow, BreakIndexIsExcludedAndClampedToTheEnd) {
  const bytes data{'a', 'b', 'c', 'd', 'e'};
  EXPECT_EQ(dump(data, 8, 1, 3), "\n0x000000: 62 63     bc\n\n");
  EXPECT_EQ(dump(data, 8, 3, 1000), "\n0x000000: 64 65     de\n\n");
}

TEST(HexShow, LeavesStreamFormattingAlone) {
  dump(counting(4), 2, 0, 4);
  testing::internal::CaptureStdout();
  std::cout << 255 << '\n';
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "255\n");
}

}  // namespace
