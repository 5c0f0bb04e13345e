#include "station/uevent.h"

#include <cstring>

namespace station {

std::string uevent::value(const std::string& key) const {
  const auto found = values.find(key);
  return found == values.end() ? std::string() : found->second;
}

std::optional<uevent> parse_uevent(const char* bytes, std::size_t size) {
  const char* end = bytes + size;
  const char* header_end = static_cast<const char*>(std::memchr(bytes, '\0', size));
  if (header_end == nullptr) return std::nullopt;
  const std::string header(bytes, header_end);
  const auto at = header.find('@');
  if (at == std::string::npos || at == 0 || header.size() <= at + 1 || header[at + 1] != '/') return std::nullopt;
  uevent event;
  event.action = header.substr(0, at);
  event.devpath = header.substr(at + 1);
  for (const char* field = header_end + 1; field < end;) {
    const char* field_end = static_cast<const char*>(std::memchr(field, '\0', static_cast<std::size_t>(end - field)));
    if (field_end == nullptr) field_end = end;
    const std::string text(field, field_end);
    const auto equals = text.find('=');
    if (equals != std::string::npos && equals > 0) event.values[text.substr(0, equals)] = text.substr(equals + 1);
    field = field_end + 1;
  }
  // The header and the fields must agree, or the message is not what it claims.
  if (event.value("ACTION") != event.action || event.value("DEVPATH") != event.devpath) return std::nullopt;
  return event;
}

}  // namespace station
