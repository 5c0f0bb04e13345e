#include "net/url.h"

#include <cctype>
#include <string>

namespace net {

namespace {

bool starts_with_nocase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// Where the path of a URL ends: at its query or fragment.
std::size_t path_end(const std::string& location) {
  return is_url(location) ? std::min(location.find('?'), location.find('#')) : std::string::npos;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

bool is_url(const std::string& location) {
  return starts_with_nocase(location, "http://") || starts_with_nocase(location, "https://");
}

std::string file_name_of(const std::string& location) {
  const std::string path = location.substr(0, path_end(location));
  const std::string name = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
  if (!is_url(location)) return name;
  std::string decoded;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '%' && i + 2 < name.size() && hex_value(name[i + 1]) >= 0 && hex_value(name[i + 2]) >= 0) {
      decoded += static_cast<char>(hex_value(name[i + 1]) * 16 + hex_value(name[i + 2]));
      i += 2;
    } else {
      decoded += name[i];
    }
  }
  return decoded;
}

std::string with_suffix(const std::string& location, const std::string& suffix) {
  const std::size_t end = path_end(location);
  if (end == std::string::npos) return location + suffix;
  return location.substr(0, end) + suffix + location.substr(end);
}

}  // namespace net
