#include "flash/flash_statistics.h"

#include <charconv>
#include <cmath>
#include <iomanip>
#include <locale>
#include <sstream>

namespace {

// "%f" without the C locale's say in the decimal separator. A value that is not
// finite cannot appear in JSON and is written as 0. A stream in the classic locale
// rather than std::to_chars: g++ 10, which builds the prebuilt addons, has no
// to_chars for floating point.
void append_fixed(std::string& out, double value) {
  if (!std::isfinite(value)) value = 0;
  std::ostringstream digits;
  digits.imbue(std::locale::classic());
  digits << std::fixed << std::setprecision(6) << value;
  out += digits.str();
}

template <class Integer>
void append_integer(std::string& out, Integer value) {
  char digits[32];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

void append_json_string(std::string& out, const std::string& text) {
  static const char hex_digits[] = "0123456789abcdef";
  out += '"';
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += hex_digits[byte >> 4];
          out += hex_digits[byte & 0xf];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

}  // namespace

void flash_statistics::error_queue(std::string text) {
  numerrs += 1;
  if (numerrs == maxerrs) numerrs = 0;
  errque = std::move(text);
}

std::string flash_statistics::get_json() const {
  std::string json = "{\"completed\":";
  append_fixed(json, completed);
  json += ",\"eta\":";
  append_fixed(json, eta);
  json += ",\"duration\":";
  append_integer(json, duration);
  json += ",\"speed\":";
  append_fixed(json, speed);
  json += ",\"speedmin\":";
  append_fixed(json, speedmin);
  json += ",\"speedmax\":";
  append_fixed(json, speedmax);
  json += ",\"speedavg\":";
  append_fixed(json, speedavg);
  json += ",\"avgblocks\":";
  append_integer(json, avgblocks);
  json += ",\"numwriteerrs\":";
  append_integer(json, numwriteerrs);
  json += ",\"numerrs\":";
  append_integer(json, numerrs);
  json += ",\"errque\":";
  append_json_string(json, errque);
  json += '}';
  return json;
}

void flash_statistics::reset() {
  completed = 0;
  eta = 0;
  duration = 0;
  speed = 0;
  numsamples = 0;
  speedmin = 0;
  speedmax = 0;
  speedavg = 0;
  numwriteerrs = 0;
  errque.clear();
  numerrs = 0;
}

void flash_statistics::take_sample(std::uint64_t block_index, std::uint64_t whole_blocks,
                                   std::uint64_t block_size, clock::time_point& previous_sample) {
  completed = static_cast<double>(block_index) / static_cast<double>(whole_blocks) * 100.0;
  const auto now = clock::now();
  auto elapsed_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - previous_sample).count();
  if (elapsed_ns <= 0) elapsed_ns = 1;  // two readings within the clock's resolution
  speed = static_cast<double>(block_size * avgblocks) / static_cast<double>(elapsed_ns) * 1e9;
  if (speed > 0 && speed < speedlimit) {
    if (speedmin == 0 || speed < speedmin) speedmin = speed;
    if (speedmax == 0 || speed > speedmax) speedmax = speed;
    speedavg = (static_cast<double>(numsamples) * speedavg + speed) / static_cast<double>(numsamples + 1);
    numsamples += 1;
  }
  eta = static_cast<double>((whole_blocks - block_index) * block_size) / speed;
  previous_sample = clock::now();
}

void flash_statistics::close(clock::time_point start, bool cancelled) {
  duration = std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - start).count() / 1000000;
  eta = 0;
  speed = 0;
  completed = cancelled ? 0 : 100;
}
