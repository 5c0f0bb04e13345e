// libFuzzer target: the string operations and the hex dump on arbitrary bytes and
// arguments. Besides the sanitizers' checks, each result is held to a property that
// follows from the operation's contract, not from its code.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/hexshow.h"
#include "support/stringops.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "stringops_fuzz: %s\n", what);
  std::abort();
}

void require(bool holds, const char* what) {
  if (!holds) fail(what);
}

// Collects what is written to std::cout while it lives.
class captured_stdout {
 public:
  captured_stdout() : saved_(std::cout.rdbuf(text_.rdbuf())) {}
  ~captured_stdout() { std::cout.rdbuf(saved_); }
  captured_stdout(const captured_stdout&) = delete;
  captured_stdout& operator=(const captured_stdout&) = delete;
  std::string text() const { return text_.str(); }

 private:
  std::ostringstream text_;
  std::streambuf* saved_;
};

int signed_value(char byte) { return static_cast<signed char>(byte); }

bool is_subsequence(const std::string& part, const std::string& whole) {
  std::size_t at = 0;
  for (char byte : whole) {
    if (at < part.size() && part[at] == byte) ++at;
  }
  return at == part.size();
}

std::string joined(const std::vector<std::string>& tokens) {
  std::string all;
  for (const auto& token : tokens) all += token;
  return all;
}

void check_filters(const std::string& text, char character) {
  const std::string printable = stringops::remove_non_printable(text);
  require(is_subsequence(printable, text), "remove_non_printable added bytes");
  require(std::none_of(printable.begin(), printable.end(), [](char b) { return signed_value(b) <= 31; }),
          "remove_non_printable kept a byte of value 31 or less");
  require(printable.size() == static_cast<std::size_t>(std::count_if(
                                  text.begin(), text.end(), [](char b) { return signed_value(b) > 31; })),
          "remove_non_printable dropped a printable byte");

  const std::string no_nulls = stringops::remove_nulls(text);
  require(is_subsequence(no_nulls, text), "remove_nulls added bytes");
  require(std::none_of(no_nulls.begin(), no_nulls.end(), [](char b) { return signed_value(b) <= 0; }),
          "remove_nulls kept a byte of value 0 or less");

  const std::string removed = stringops::remove(text, character);
  require(removed.find(character) == std::string::npos, "remove left the character");
  require(removed.size() + std::count(text.begin(), text.end(), character) == text.size(),
          "remove dropped another byte");
}

void check_case(const std::string& text) {
  const std::string lower = stringops::lowercase(text);
  const std::string upper = stringops::uppercase(text);
  require(lower.size() == text.size() && upper.size() == text.size(), "case mapping changed the length");
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (signed_value(text[i]) >= 0) continue;
    require(lower[i] == text[i] && upper[i] == text[i], "case mapping changed a byte above 0x7F");
  }
  require(stringops::lowercase(upper) == lower, "lowercase of uppercase differs from lowercase");
  require(stringops::uppercase(lower) == upper, "uppercase of lowercase differs from uppercase");
}

void check_replace_and_common(const std::string& text, const std::string& other, char from, char to) {
  const std::string replaced = stringops::replace(text, from, to);
  require(replaced.size() == text.size(), "replace changed the length");
  if (from != to) require(replaced.find(from) == std::string::npos, "replace left the character");

  const std::string common = stringops::get_common(text, other);
  require(text.compare(0, common.size(), common) == 0 && other.compare(0, common.size(), common) == 0,
          "get_common is not a prefix of both");
  require(common.size() == std::min(text.size(), other.size()) || text[common.size()] != other[common.size()],
          "get_common stopped before the first difference");
  require(stringops::includes(text, common) && stringops::includes(other, common), "includes misses a prefix");
}

void check_heals(const std::string& text, char character, int code) {
  const std::string healed = stringops::remove_heals(text, character);
  if (!healed.empty()) {
    require(healed.front() != character && healed.back() != character, "remove_heals left an end byte");
    const std::size_t at = text.find(healed);
    require(at != std::string::npos, "remove_heals is not a part of the text");
    require(text.find_first_not_of(character) == at, "remove_heals took other leading bytes");
  } else {
    require(text.find_first_not_of(character) == std::string::npos, "remove_heals emptied a text with other bytes");
  }

  std::string by_code;
  std::string printed;
  {
    captured_stdout out;
    by_code = stringops::remove_heals(text, code, true);
    printed = out.text();
  }
  if (code >= -128 && code <= 127) {
    require(by_code == stringops::remove_heals(text, static_cast<char>(code)), "the two remove_heals differ");
  } else {
    require(by_code == text, "a code outside the byte range removed something");
  }
  require(printed.rfind("remove_heals: ", 0) == 0, "verbose output does not start with its first line");
  require(printed.find("remove head: ") != std::string::npos && printed.find("remove tail ") != std::string::npos,
          "verbose output misses a line");
}

void check_splits(const std::string& text, int separator, const std::string& word) {
  const auto runs = stringops::split(text, separator);
  for (const auto& run : runs) {
    require(!run.empty(), "split by byte gave an empty run");
    require(std::none_of(run.begin(), run.end(), [&](char b) { return signed_value(b) == separator; }),
            "split by byte kept a separator");
  }
  if (separator >= -128 && separator <= 127) {
    require(joined(runs) == stringops::remove(text, static_cast<char>(separator)), "split by byte lost bytes");
  } else {
    require(joined(runs) == text, "split by an impossible byte changed the text");
  }

  const auto tokens = stringops::split(text, word);
  require(!tokens.empty(), "split by text gave no token");
  for (const auto& token : tokens) {
    if (!word.empty()) require(token.find(word) == std::string::npos, "split by text kept a separator");
  }
  require(joined(tokens).size() <= text.size(), "split by text added bytes");

  // The C-string form stops at the first NUL of the separator.
  const std::string c_word = word.c_str();
  const auto pieces = stringops::split(text, c_word.c_str());
  require(!pieces.empty(), "split by C string gave no token");
  if (c_word.empty()) {
    require(pieces.size() == 1 && pieces[0] == text, "split by an empty C string changed the text");
  } else {
    require(pieces.size() == 1 + [&] {
              std::size_t n = 0;
              for (std::size_t at = text.find(c_word); at != std::string::npos; at = text.find(c_word, at + 1)) ++n;
              return n;
            }(),
            "split by C string: one token per match, overlapping matches included");
    require(pieces.front() == text.substr(0, text.find(c_word)), "split by C string: first token");
  }
}

// Reads the dump back: every line is "0x" offset ": ", one "hh " per byte, four
// blanks, then one character per byte.
void check_hex(const std::vector<std::uint8_t>& data, std::uint64_t width, std::uint64_t start,
               std::uint64_t stop) {
  std::string printed;
  {
    captured_stdout out;
    hex::show(data, width, start, stop);
    printed = out.text();
  }
  require(printed.size() >= 2 && printed.front() == '\n' && printed.back() == '\n' &&
              printed[printed.size() - 2] == '\n',
          "dump is not framed by line breaks");
  const std::uint64_t end = std::min<std::uint64_t>(stop, data.size());
  const std::uint64_t shown = width == 0 || start >= end ? 0 : end - start;

  std::istringstream lines(printed.substr(1, printed.size() - 2));
  std::uint64_t index = 0;
  for (std::string line; std::getline(lines, line);) {
    const std::uint64_t count = std::min<std::uint64_t>(width, shown - index);
    char label[32];
    std::snprintf(label, sizeof label, "0x%06llx: ", static_cast<unsigned long long>(index));
    require(line.rfind(label, 0) == 0, "dump line does not start with its offset");
    require(line.size() == std::string(label).size() + 4 * count + 4, "dump line has the wrong length");
    const std::string chars = line.substr(line.size() - count);
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint8_t byte = data[start + index + i];
      char hex_byte[4];
      std::snprintf(hex_byte, sizeof hex_byte, "%02x ", byte);
      require(line.compare(std::string(label).size() + 3 * i, 3, hex_byte) == 0, "dump shows another byte");
      require(chars[i] == (byte >= 0x20 && byte <= 0x7e ? static_cast<char>(byte) : '.'),
              "dump shows another character");
    }
    index += count;
  }
  require(index == shown, "dump shows another number of bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const char character = input.ConsumeIntegral<char>();
  const char other_character = input.ConsumeIntegral<char>();
  const int code = input.ConsumeIntegralInRange<int>(-300, 300);
  const auto width = input.ConsumeIntegralInRange<std::uint64_t>(0, 40);
  const auto start = input.ConsumeIntegralInRange<std::uint64_t>(0, 600);
  const bool open_end = input.ConsumeBool();
  const auto stop = open_end ? ~std::uint64_t{0} : input.ConsumeIntegralInRange<std::uint64_t>(0, 600);
  const std::string word = input.ConsumeRandomLengthString(8);
  const std::string other = input.ConsumeRandomLengthString(64);
  const std::string text = input.ConsumeRemainingBytesAsString();

  check_filters(text, character);
  check_case(text);
  check_replace_and_common(text, other, character, other_character);
  check_heals(text, character, code);
  check_splits(text, code, word);
  check_hex(std::vector<std::uint8_t>(text.begin(), text.end()), width, start, stop);
  return 0;
}
