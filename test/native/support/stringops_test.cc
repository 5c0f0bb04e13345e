#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/stringops.h"

namespace {

using strings = std::vector<std::string>;

// Every byte from 0x00 to 0xFF once, in order.
std::string all_bytes() {
  std::string text;
  for (int value = 0; value < 256; ++value) text += static_cast<char>(value);
  return text;
}

std::string bytes_in(int first, int last) {
  std::string text;
  for (int value = first; value <= last; ++value) text += static_cast<char>(value);
  return text;
}

TEST(StringopsIncludes, FindsContiguousParts) {
  EXPECT_TRUE(stringops::includes("", ""));
  EXPECT_TRUE(stringops::includes("abc", ""));
  EXPECT_TRUE(stringops::includes("abc", "abc"));
  EXPECT_TRUE(stringops::includes("abc", "bc"));
  EXPECT_FALSE(stringops::includes("abc", "ac"));
  EXPECT_FALSE(stringops::includes("abc", "abcd"));
  EXPECT_FALSE(stringops::includes("", "a"));
  EXPECT_TRUE(stringops::includes(std::string("a\0b", 3), std::string("\0b", 2)));
}

TEST(StringopsFilters, RemoveNonPrintableKeepsOnly0x20To0x7F) {
  EXPECT_EQ(stringops::remove_non_printable(all_bytes()), bytes_in(0x20, 0x7F));
  EXPECT_EQ(stringops::remove_non_printable("a\tb\nc d\x7f\x80\xff"), "abc d\x7f");
  EXPECT_EQ(stringops::remove_non_printable(""), "");
}

TEST(StringopsFilters, RemoveNullsKeeps0x01To0x7F) {
  EXPECT_EQ(stringops::remove_nulls(all_bytes()), bytes_in(0x01, 0x7F));
  EXPECT_EQ(stringops::remove_nulls(std::string("a\tb\n\0c\x80\xc3\xa4", 9)), "a\tb\nc");
}

TEST(StringopsFilters, RemoveDropsEveryOccurrence) {
  EXPECT_EQ(stringops::remove("a,b,,c,", ','), "abc");
  EXPECT_EQ(stringops::remove(",,,", ','), "");
  EXPECT_EQ(stringops::remove(std::string("a\0b", 3), '\0'), "ab");
  EXPECT_EQ(stringops::remove("\xff" "a\xff", '\xff'), "a");
}

TEST(StringopsMapping, ReplaceChangesEveryOccurrenceKeepingLength) {
  EXPECT_EQ(stringops::replace("a-b--c", '-', '_'), "a_b__c");
  EXPECT_EQ(stringops::replace("abc", 'x', 'y'), "abc");
  EXPECT_EQ(stringops::replace("\xe9t\xe9", '\xe9', 'e'), "ete");
  EXPECT_EQ(stringops::replace("a b", ' ', '\0'), std::string("a\0b", 3));
}

TEST(StringopsMapping, CaseMappingIsOneByteForOneByte) {
  EXPECT_EQ(stringops::lowercase("Hello, WORLD 42!"), "hello, world 42!");
  EXPECT_EQ(stringops::uppercase("Hello, world 42!"), "HELLO, WORLD 42!");
  const std::string high = "\x80\xc3\x84\xff";
  EXPECT_EQ(stringops::lowercase("A" + high + "Z"), "a" + high + "z");
  EXPECT_EQ(stringops::uppercase("a" + high + "z"), "A" + high + "Z");
  EXPECT_EQ(stringops::lowercase(all_bytes()).size(), 256u);
  EXPECT_EQ(stringops::uppercase(all_bytes()).size(), 256u);
  EXPECT_EQ(stringops::lowercase(""), "");
}

TEST(StringopsGetCommon, ReturnsTheLongestCommonPrefix) {
  EXPECT_EQ(stringops::get_common("abcd", "abXd"), "ab");
  EXPECT_EQ(stringops::get_common("sdb", "sdb1"), "sdb");
  EXPECT_EQ(stringops::get_common("sdb1", "sdb"), "sdb");
  EXPECT_EQ(stringops::get_common("same", "same"), "same");
  EXPECT_EQ(stringops::get_common("xab", "yab"), "");
  EXPECT_EQ(stringops::get_common("", "abc"), "");
  EXPECT_EQ(stringops::get_common("abc", ""), "");
}

TEST(StringopsRemoveHeals, TrimsBothEndsOnly) {
  EXPECT_EQ(stringops::remove_heals("", ' '), "");
  EXPECT_EQ(stringops::remove_heals("    ", ' '), "");
  EXPECT_EQ(stringops::remove_heals("x", ' '), "x");
  EXPECT_EQ(stringops::remove_heals(" ", ' '), "");
  EXPECT_EQ(stringops::remove_heals("--a-b--", '-'), "a-b");
  EXPECT_EQ(stringops::remove_heals("--ab", '-'), "ab");
  EXPECT_EQ(stringops::remove_heals("ab--", '-'), "ab");
  EXPECT_EQ(stringops::remove_heals(std::string("\0\0a\0\0", 5), '\0'), "a");
}

TEST(StringopsRemoveHeals, CodeComparesBytesAsSignedValues) {
  EXPECT_EQ(stringops::remove_heals("  a b  ", ' ', false), "a b");
  EXPECT_EQ(stringops::remove_heals("", ' ', false), "");
  EXPECT_EQ(stringops::remove_heals("...", '.', false), "");
  // 0xC3 is -61 as a signed byte: the code 195 never matches it.
  const std::string text = "\xc3\xc3" "a\xc3" "b\xc3";
  EXPECT_EQ(stringops::remove_heals(text, 195, false), text);
  EXPECT_EQ(stringops::remove_heals(text, -61, false), "a\xc3" "b");
  EXPECT_EQ(stringops::remove_heals("\xff" "a\xff", -1, false), "a");
}

TEST(StringopsRemoveHeals, VerboseWritesThreeLines) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(stringops::remove_heals("  a b  ", ' ', true), "a b");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "remove_heals:   a b   (7) remch: 32\n"
            "remove head: a b  \n"
            "remove tail a b (3)\n");

  testing::internal::CaptureStdout();
  EXPECT_EQ(stringops::remove_heals("", ' ', true), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "remove_heals:  (0) remch: 32\n"
            "remove head: \n"
            "remove tail  (0)\n");

  testing::internal::CaptureStdout();
  EXPECT_EQ(stringops::remove_heals("xxx", 'x', true), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "remove_heals: xxx (3) remch: 120\n"
            "remove head: \n"
            "remove tail  (0)\n");

  testing::internal::CaptureStdout();
  stringops::remove_heals("\xff" "a", -1, true);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "remove_heals: \xff" "a (2) remch: -1\n"
            "remove head: a\n"
            "remove tail a (1)\n");
}

TEST(StringopsRemoveHeals, QuietModePrintsNothing) {
  testing::internal::CaptureStdout();
  stringops::remove_heals("  a  ", ' ', false);
  stringops::remove_heals("  a  ", ' ');
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(StringopsSplitCharacter, ReturnsNonEmptyRunsOnly) {
  EXPECT_EQ(stringops::split("  one  two  ", ' '), (strings{"one", "two"}));
  EXPECT_EQ(stringops::split("a b", ' '), (strings{"a", "b"}));
  EXPECT_EQ(stringops::split("word", ' '), (strings{"word"}));
  EXPECT_EQ(stringops::split("", ' '), strings{});
  EXPECT_EQ(stringops::split("   ", ' '), strings{});
  EXPECT_EQ(stringops::split("a,,b,", ','), (strings{"a", "b"}));
}

TEST(StringopsSplitCharacter, FinalLineBreakStaysOnTheLastToken) {
  EXPECT_EQ(stringops::split("lsblk from util-linux 2.38.1\n", ' '),
            (strings{"lsblk", "from", "util-linux", "2.38.1\n"}));
}

TEST(StringopsSplitCharacter, SeparatorComparesAsSignedByte) {
  const std::string text = "a\xc8" "b\xc8";
  EXPECT_EQ(stringops::split(text, 200), (strings{text}));
  EXPECT_EQ(stringops::split(text, -56), (strings{"a", "b"}));
}

TEST(StringopsSplitText, DropsEmptyTokensExceptTheLast) {
  const std::string comma = ",";
  EXPECT_EQ(stringops::split("a,,b,c,", comma), (strings{"a", "b", "c", ""}));
  EXPECT_EQ(stringops::split("a,b", comma), (strings{"a", "b"}));
  EXPECT_EQ(stringops::split(",a", comma), (strings{"a"}));
  EXPECT_EQ(stringops::split("", comma), (strings{""}));
  EXPECT_EQ(stringops::split("no separator", comma), (strings{"no separator"}));
  EXPECT_EQ(stringops::split("a, b, c", std::string(", ")), (strings{"a", "b", "c"}));
  EXPECT_EQ(stringops::split("a::::b", std::string("::")), (strings{"a", "b"}));
}

TEST(StringopsSplitText, EmptySeparatorReturnsTheTextWhole) {
  EXPECT_EQ(stringops::split("a b", std::string()), (strings{"a b"}));
  EXPECT_EQ(stringops::split("", std::string()), (strings{""}));
}

TEST(StringopsSplitCString, KeepsEmptyTokensAndSkipsOneByte) {
  EXPECT_EQ(stringops::split("a,,b,c,", ","), (strings{"a", "", "b", "c", ""}));
  EXPECT_EQ(stringops::split("", ","), (strings{""}));
  EXPECT_EQ(stringops::split("abc", ","), (strings{"abc"}));
  EXPECT_EQ(stringops::split(",", ","), (strings{"", ""}));
  // Only the first byte of a longer separator is skipped.
  EXPECT_EQ(stringops::split("a, b, c", ", "), (strings{"a", " b", " c"}));
  EXPECT_EQ(stringops::split("aaa", "aa"), (strings{"", "", "a"}));
}

TEST(StringopsSplitCString, EmptySeparatorReturnsTheTextWhole) {
  EXPECT_EQ(stringops::split("a b", ""), (strings{"a b"}));
  EXPECT_EQ(stringops::split("a b", static_cast<const char*>(nullptr)), (strings{"a b"}));
}

}  // namespace
