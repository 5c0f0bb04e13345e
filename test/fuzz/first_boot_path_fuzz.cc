// libFuzzer target: the rules for first-boot file paths on arbitrary bytes. A path
// accepted splits into names that join back into it and that FAT stores as given.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "finish/first_boot_path.h"

namespace {

void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "first_boot_path_fuzz: %s\n", what);
  std::abort();
}

bool stored_as_given(const std::string& name) {
  const bool plain = std::all_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte != 0x7f && std::strchr("\"*:<>?\\|/", byte) == nullptr;
  });
  return plain && !name.empty() && name != "." && name != ".." && name.size() <= 255 && name.back() != ' ' &&
         name.back() != '.';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);
  if (!first_boot_path_problem(path).empty()) return 0;
  const std::vector<std::string> names = first_boot_path_names(path);
  require(!names.empty(), "an accepted path without names");
  std::string joined = path[0] == '/' ? "" : names.front();
  for (std::size_t i = path[0] == '/' ? 0 : 1; i < names.size(); ++i) joined += "/" + names[i];
  require(joined == path, "the names do not join back into the path");
  require(std::all_of(names.begin(), names.end(), stored_as_given), "an accepted name FAT does not store as given");
  return 0;
}
