#include "image/block_map.h"
#include "support/coded_error.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "image/range_checksum.h"

namespace image {

namespace {

[[noreturn]] void refuse(const std::string& reason) { throw coded_error(reason::image, "invalid block map: " + reason); }

std::string trimmed(const char* text) {
  std::string s(text);
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

std::uint64_t parse_number(const std::string& text, const std::string& what) {
  if (text.empty() || text.size() > 19 || !std::all_of(text.begin(), text.end(), ::isdigit)) {
    refuse(what + " is not a number: \"" + text + "\"");
  }
  return std::stoull(text);
}

std::uint64_t number_element(const pugi::xml_node& root, const char* name) {
  const pugi::xml_node node = root.child(name);
  if (!node) refuse(std::string("<") + name + "> is missing");
  return parse_number(trimmed(node.child_value()), name);
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool is_hex(const std::string& text) { return std::all_of(text.begin(), text.end(), ::isxdigit); }

// Where the digits of `element`'s text stand in the file, as written: a checksum
// spelled with character references, in CDATA or around a comment has no such place.
std::size_t written_place(const std::string& text, const pugi::xml_node& element, const std::string& digits) {
  const pugi::xml_node value = element.first_child();
  const std::ptrdiff_t start = value.offset_debug();
  if (value.type() != pugi::node_pcdata || value.next_sibling() || start < 0) return std::string::npos;
  const std::size_t at = text.find_first_not_of(" \t\r\n", static_cast<std::size_t>(start));
  return at != std::string::npos && text.compare(at, digits.size(), digits) == 0 ? at : std::string::npos;
}

// The file's own checksum covers its text with the checksum itself written as zeros.
void check_file_checksum(const std::string& text, const std::string& type, const pugi::xml_node& element) {
  const std::string recorded = trimmed(element.child_value());
  if (recorded.size() != range_checksum::hex_length(type) || !is_hex(recorded)) {
    refuse("its own checksum \"" + recorded + "\" is not a " + type + " digest");
  }
  const std::size_t at = written_place(text, element, recorded);
  if (at == std::string::npos) refuse("its own checksum is not written as plain hexadecimal digits");
  std::string zeroed = text;
  zeroed.replace(at, recorded.size(), std::string(recorded.size(), '0'));
  range_checksum sum(type);
  sum.update(reinterpret_cast<const std::uint8_t*>(zeroed.data()), zeroed.size());
  if (sum.hex_digest() != lower(recorded)) refuse("the file does not match its own checksum (damaged or edited)");
}

}  // namespace

block_map block_map::read(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) refuse("cannot read " + path);
  std::ostringstream contents;
  contents << file.rdbuf();
  return parse(contents.str());
}

block_map block_map::parse(const std::string& text) {
  pugi::xml_document document;
  const pugi::xml_parse_result parsed = document.load_buffer(text.data(), text.size());
  if (!parsed) refuse(std::string("not well-formed XML: ") + parsed.description());
  const pugi::xml_node root = document.child("bmap");
  if (!root) refuse("no <bmap> element");
  const std::string version = trimmed(root.attribute("version").value());
  const std::string major = version.substr(0, version.find('.'));
  if (major != "1" && major != "2") refuse("unsupported version \"" + version + "\"");

  block_map map;
  map.image_size = number_element(root, "ImageSize");
  map.block_size = number_element(root, "BlockSize");
  if (map.block_size == 0 || map.image_size == 0) refuse("zero image or block size");
  map.checksum_type = lower(trimmed(root.child_value("ChecksumType")));
  if (map.checksum_type.empty() && major == "1") map.checksum_type = "sha1";
  if (range_checksum::hex_length(map.checksum_type) == 0) refuse("unknown checksum type \"" + map.checksum_type + "\"");

  const pugi::xml_node own_checksum = root.child(major == "1" ? "BmapFileSHA1" : "BmapFileChecksum");
  if (own_checksum) check_file_checksum(text, map.checksum_type, own_checksum);

  const pugi::xml_node ranges = root.child("BlockMap");
  if (!ranges) refuse("<BlockMap> is missing");
  const std::uint64_t blocks = (map.image_size + map.block_size - 1) / map.block_size;
  std::uint64_t next_free_block = 0;
  std::uint64_t mapped_blocks = 0;
  for (const pugi::xml_node range : ranges.children("Range")) {
    const std::string extent = trimmed(range.child_value());
    const auto dash = extent.find('-');
    const std::uint64_t first = parse_number(extent.substr(0, dash), "range start");
    const std::uint64_t last = dash == std::string::npos ? first : parse_number(extent.substr(dash + 1), "range end");
    if (last < first || first < next_free_block || last >= blocks) {
      refuse("range " + extent + " is out of order or past the image's " + std::to_string(blocks) + " blocks");
    }
    mapped_range bytes;
    bytes.start = first * map.block_size;
    bytes.end = std::min((last + 1) * map.block_size, map.image_size);
    bytes.checksum = lower(trimmed(range.attribute("chksum").value()));
    if (!bytes.checksum.empty() &&
        (bytes.checksum.size() != range_checksum::hex_length(map.checksum_type) || !is_hex(bytes.checksum))) {
      refuse("range " + extent + " has a malformed checksum");
    }
    map.mapped_bytes += bytes.end - bytes.start;
    mapped_blocks += last - first + 1;
    next_free_block = last + 1;
    map.ranges.push_back(bytes);
  }
  const pugi::xml_node mapped_count = root.child("MappedBlocksCount");
  if (mapped_count && parse_number(trimmed(mapped_count.child_value()), "MappedBlocksCount") != mapped_blocks) {
    refuse("<MappedBlocksCount> does not match its ranges");
  }
  return map;
}

void block_map::check_fits(std::uint64_t decoded_size) const {
  if (decoded_size != image_size) {
    throw coded_error(reason::image, "block map does not fit the image: the image holds " + std::to_string(decoded_size) +
                             " bytes, the map describes " + std::to_string(image_size));
  }
}

}  // namespace image
