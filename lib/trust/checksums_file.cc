#include "trust/checksums_file.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

#include "support/stringops.h"

namespace trust {

namespace {

struct listed {
  std::string digest;
  std::optional<std::string> name;  // none: a digest on its own
};

// One line of either form; none for a line that is neither (a comment, another algorithm).
std::optional<listed> parse_line(const std::string& raw) {
  const std::string line = stringops::trimmed(raw);
  if (line.rfind("SHA256 (", 0) == 0) {  // BSD
    const auto close = line.rfind(") = ");
    if (close == std::string::npos || close < 8) return std::nullopt;
    return listed{line.substr(close + 4), line.substr(8, close - 8)};
  }
  const auto blank = line.find_first_of(" \t");
  const std::string digest = line.substr(0, blank);
  if (!is_sha256_hex(digest)) return std::nullopt;
  if (blank == std::string::npos) return listed{digest, std::nullopt};
  std::string name = line.substr(blank + 1);
  if (!name.empty() && (name[0] == ' ' || name[0] == '*')) name.erase(0, 1);  // text or binary mode mark
  return listed{digest, name};
}

bool names(const std::string& listed_name, const std::string& name) {
  return listed_name == name || listed_name == "./" + name;
}

}  // namespace

bool is_sha256_hex(const std::string& text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

namespace {

std::vector<listed> listed_digests(const std::string& text) {
  std::istringstream lines(text);
  std::vector<listed> found;
  for (std::string line; std::getline(lines, line);) {
    if (auto entry = parse_line(line); entry && is_sha256_hex(entry->digest)) found.push_back(*entry);
  }
  return found;
}

std::optional<std::string> digest_named(const std::vector<listed>& found, const std::string& name) {
  for (const listed& entry : found) {
    if (entry.name && names(*entry.name, name)) return stringops::lowercase(entry.digest);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> sha256_for(const std::string& text, const std::string& name) {
  const std::vector<listed> found = listed_digests(text);
  if (std::optional<std::string> digest = digest_named(found, name)) return digest;
  if (found.size() == 1 && !found.front().name) return stringops::lowercase(found.front().digest);
  return std::nullopt;
}

std::optional<std::string> named_sha256(const std::string& text, const std::string& name) {
  return digest_named(listed_digests(text), name);
}

}  // namespace trust
