#include "support/hexshow.h"

#include <algorithm>
#include <iostream>
#include <string>

namespace hex {

namespace {

// Lower-case hex of `value`, zero-padded to at least `digits` digits. Built by hand so
// the dump leaves the formatting flags of std::cout alone.
std::string hex_digits(std::uint64_t value, std::size_t digits) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  if (text.size() < digits) text.insert(0, digits - text.size(), '0');
  return text;
}

void write_line(std::string& hex_column, std::string& char_column) {
  std::cout << hex_column << "    " << char_column << '\n';
  hex_column.clear();
  char_column.clear();
}

}  // namespace

void show(const std::vector<std::uint8_t>& data, std::uint64_t width, std::uint64_t startidx,
          std::uint64_t breakidx) {
  const std::uint64_t end = std::min<std::uint64_t>(breakidx, data.size());
  std::cout << '\n';
  // A zero width has no lines to fill; it shows nothing rather than divide by zero.
  if (width > 0) {
    std::string hex_column;
    std::string char_column;
    std::uint64_t shown = 0;
    for (std::uint64_t index = startidx; index < end; ++index) {
      if (shown % width == 0) hex_column += "0x" + hex_digits(shown, 6) + ": ";
      const std::uint8_t byte = data[index];
      hex_column += hex_digits(byte, 2) + " ";
      char_column += (byte >= 0x20 && byte <= 0x7E) ? static_cast<char>(byte) : '.';
      ++shown;
      if (shown % width == 0) write_line(hex_column, char_column);
    }
    if (!hex_column.empty()) write_line(hex_column, char_column);
  }
  std::cout << '\n';
}

}  // namespace hex
