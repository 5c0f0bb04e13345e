#include "backup/block_map_writer.h"

#include <sstream>

namespace backup {

void block_map_writer::add(const std::uint8_t* bytes, std::size_t size, bool zero) {
  if (zero) {
    close_range();
  } else {
    if (!in_range_) range_start_ = position_;
    in_range_ = true;
    checksum_.update(bytes, size);
    mapped_bytes_ += size;
  }
  position_ += size;
}

void block_map_writer::close_range() {
  if (!in_range_) return;
  in_range_ = false;
  ranges_.push_back({range_start_ / block_size, (position_ - 1) / block_size, checksum_.hex_digest()});
}

std::string block_map_writer::finish() {
  close_range();
  const std::uint64_t blocks = (position_ + block_size - 1) / block_size;
  std::uint64_t mapped_blocks = 0;
  for (const range& r : ranges_) mapped_blocks += r.last_block - r.first_block + 1;
  const std::string zeros(64, '0');

  std::ostringstream text;
  text << "<?xml version=\"1.0\" ?>\n"
       << "<!-- The blocks of the image that hold data, with their SHA-256: the blocks of\n"
       << "     zeros left out need not be written to a drive that holds zeros there. -->\n"
       << "<bmap version=\"2.0\">\n"
       << "    <ImageSize> " << position_ << " </ImageSize>\n"
       << "    <BlockSize> " << block_size << " </BlockSize>\n"
       << "    <BlocksCount> " << blocks << " </BlocksCount>\n"
       << "    <MappedBlocksCount> " << mapped_blocks << " </MappedBlocksCount>\n"
       << "    <ChecksumType> sha256 </ChecksumType>\n"
       << "    <BmapFileChecksum> " << zeros << " </BmapFileChecksum>\n"
       << "    <BlockMap>\n";
  for (const range& r : ranges_) {
    text << "        <Range chksum=\"" << r.sha256 << "\"> " << r.first_block;
    if (r.last_block != r.first_block) text << '-' << r.last_block;
    text << " </Range>\n";
  }
  text << "    </BlockMap>\n</bmap>\n";

  // The map's own checksum is taken with its place written as zeros, then put there.
  std::string map = text.str();
  image::range_checksum own("sha256");
  own.update(reinterpret_cast<const std::uint8_t*>(map.data()), map.size());
  map.replace(map.find(zeros), zeros.size(), own.hex_digest());
  return map;
}

}  // namespace backup
