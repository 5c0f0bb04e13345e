#include "support/stringops.h"

#include <cctype>
#include <iostream>

namespace stringops {

namespace {

// The byte as the signed 8-bit value the comparisons below are defined on.
int signed_value(char byte) { return static_cast<signed char>(byte); }

// tolower/toupper are undefined for negative arguments other than EOF, so the bytes
// 0x80..0xFF are kept as they are; the C and UTF-8 locales map them to themselves.
template <typename Mapping>
std::string map_bytes(std::string text, Mapping mapping) {
  for (char& byte : text) {
    const int value = signed_value(byte);
    if (value >= 0) byte = static_cast<char>(mapping(value));
  }
  return text;
}

template <typename Drop>
std::string drop_bytes(std::string text, Drop drop) {
  std::string kept;
  kept.reserve(text.size());
  for (char byte : text) {
    if (!drop(byte)) kept += byte;
  }
  return kept;
}

}  // namespace

bool includes(std::string text, std::string part) {
  return text.find(part) != std::string::npos;
}

std::string remove_non_printable(std::string text) {
  return drop_bytes(std::move(text), [](char byte) { return signed_value(byte) <= 31; });
}

std::string remove_nulls(std::string text) {
  return drop_bytes(std::move(text), [](char byte) { return signed_value(byte) <= 0; });
}

std::string lowercase(std::string text) {
  return map_bytes(std::move(text), [](int value) { return std::tolower(value); });
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string uppercase(std::string text) {
  return map_bytes(std::move(text), [](int value) { return std::toupper(value); });
}

std::string replace(std::string text, char from, char to) {
  for (char& byte : text) {
    if (byte == from) byte = to;
  }
  return text;
}

std::string remove(std::string text, char character) {
  return drop_bytes(std::move(text), [character](char byte) { return byte == character; });
}

std::string get_common(std::string a, std::string b) {
  std::size_t length = 0;
  while (length < a.size() && length < b.size() && a[length] == b[length]) ++length;
  a.resize(length);
  return a;
}

std::string remove_heals(std::string text, char character) {
  const std::size_t first = text.find_first_not_of(character);
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(character);
  return text.substr(first, last - first + 1);
}

std::string remove_heals(std::string text, int code, bool verbose) {
  if (verbose) {
    std::cout << "remove_heals: " << text << " (" << text.size() << ")"
              << " remch: " << code << '\n';
  }
  std::size_t first = 0;
  while (first < text.size() && signed_value(text[first]) == code) ++first;
  text.erase(0, first);
  if (verbose) std::cout << "remove head: " << text << '\n';

  std::size_t end = text.size();
  while (end > 0 && signed_value(text[end - 1]) == code) --end;
  text.resize(end);
  if (verbose) std::cout << "remove tail " << text << " (" << text.size() << ")" << '\n';
  return text;
}

std::vector<std::string> split(std::string text, int separator) {
  std::vector<std::string> tokens;
  std::string current;
  for (char byte : text) {
    if (signed_value(byte) != separator) {
      current += byte;
    } else if (!current.empty()) {
      tokens.push_back(std::move(current));
      current.clear();
    }
  }
  if (!current.empty()) tokens.push_back(std::move(current));
  return tokens;
}

// An empty separator would match at every position without consuming anything; the
// text then comes back as its only token.
std::vector<std::string> split(std::string text, std::string separator) {
  if (separator.empty()) return {text};
  std::vector<std::string> tokens;
  std::size_t start = 0;
  for (std::size_t found = text.find(separator); found != std::string::npos;
       found = text.find(separator, start)) {
    if (found > start) tokens.push_back(text.substr(start, found - start));
    start = found + separator.size();
  }
  tokens.push_back(text.substr(start));
  return tokens;
}

// Resumes one byte after each match, so the rest of a longer separator starts the next
// token. An empty (or missing) separator returns the text as its only token.
std::vector<std::string> split(std::string text, const char* separator) {
  if (separator == nullptr || *separator == '\0') return {text};
  std::vector<std::string> tokens;
  std::size_t start = 0;
  for (std::size_t found = text.find(separator); found != std::string::npos;
       found = text.find(separator, start)) {
    tokens.push_back(text.substr(start, found - start));
    start = found + 1;
  }
  tokens.push_back(text.substr(start));
  return tokens;
}

}  // namespace stringops
