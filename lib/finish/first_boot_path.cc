#include "finish/first_boot_path.h"

#include <algorithm>
#include <cstring>

namespace {

// FAT's longest long name, in bytes here (mtools stores UTF-16 units, never more).
constexpr std::size_t longest_name = 255;

bool allowed_in_fat(unsigned char c) { return c >= 0x20 && c != 0x7f && std::strchr("\"*:<>?\\|", c) == nullptr; }

std::string name_problem(const std::string& name) {
  if (name.empty()) return "has an empty name (a doubled or trailing \"/\")";
  if (name == "." || name == "..") return "names \"" + name + "\"";
  if (name.size() > longest_name) return "has a name longer than 255 bytes";
  if (!std::all_of(name.begin(), name.end(), [](char c) { return allowed_in_fat(static_cast<unsigned char>(c)); })) {
    return "has a character FAT does not allow (a control character or one of \" * : < > ? \\ |)";
  }
  // FAT drops them: the file would read back under another name.
  if (name.back() == ' ' || name.back() == '.') return "has a name ending in a space or a dot";
  return {};
}

std::vector<std::string> split_names(const std::string& path) {
  std::vector<std::string> names;
  std::size_t start = path.empty() || path[0] != '/' ? 0 : 1;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    names.push_back(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) return names;
    start = slash + 1;
  }
}

}  // namespace

std::string first_boot_path_problem(const std::string& path) {
  if (path.empty() || path == "/") return "a first-boot file needs a path";
  for (const std::string& name : split_names(path)) {
    const std::string problem = name_problem(name);
    if (!problem.empty()) return "the first-boot file path \"" + path + "\" " + problem;
  }
  return {};
}

std::vector<std::string> first_boot_path_names(const std::string& path) { return split_names(path); }
