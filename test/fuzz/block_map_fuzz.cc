// libFuzzer target: block map reading on arbitrary text, and the same text with the
// digits of its own checksum written as character references, as XML allows. A map
// is either refused with EIMAGE "invalid block map: ..." or holds what its contract
// promises; any other exception is a fault.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image/block_map.h"
#include "support/coded_error.h"

namespace {

void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "block_map_fuzz: %s\n", what);
  std::abort();
}

void check_map(const std::string& text) {
  image::block_map map;
  try {
    map = image::block_map::parse(text);
  } catch (const coded_error& e) {
    require(e.why() == reason::image && std::string(e.what()).rfind("invalid block map: ", 0) == 0,
            "a refusal without EIMAGE or its prefix");
    return;
  }
  std::uint64_t mapped = 0;
  std::uint64_t previous_end = 0;
  for (const image::mapped_range& range : map.ranges) {
    require(range.start < range.end && range.end <= map.image_size, "a range outside the image");
    require(range.start >= previous_end, "ranges out of order or overlapping");
    previous_end = range.end;
    mapped += range.end - range.start;
  }
  require(mapped == map.mapped_bytes, "mapped bytes differ from the ranges' sum");
}

// Each hexadecimal digit of the first <BmapFileChecksum> as "&#NN;".
std::string with_character_references(const std::string& text) {
  const std::string open = "<BmapFileChecksum>";
  const std::size_t start = text.find(open);
  if (start == std::string::npos) return {};
  const std::size_t end = text.find('<', start + open.size());
  std::string spelled = text.substr(0, start + open.size());
  for (std::size_t i = start + open.size(); i < end && i < text.size(); ++i) {
    const char c = text[i];
    const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    spelled += digit ? "&#" + std::to_string(static_cast<int>(c)) + ";" : std::string(1, c);
  }
  if (end != std::string::npos) spelled += text.substr(end);
  return spelled;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  check_map(text);
  const std::string spelled = with_character_references(text);
  if (!spelled.empty()) check_map(spelled);
  return 0;
}
