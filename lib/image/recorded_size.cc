#include "image/recorded_size.h"

#include <lzma.h>
#include <zstd.h>

#include <algorithm>
#include <vector>

namespace image {

namespace {

std::uint32_t little_endian(const std::uint8_t* bytes, unsigned count) {
  std::uint32_t value = 0;
  for (unsigned i = count; i-- > 0;) value = value << 8 | bytes[i];
  return value;
}

}  // namespace

std::optional<std::uint64_t> xz_recorded_size(random_access& file) {
  const std::uint64_t file_size = file.size();
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_index* index = nullptr;
  if (file_size == 0 || lzma_file_info_decoder(&stream, &index, UINT64_MAX, file_size) != LZMA_OK) return std::nullopt;
  // The decoder reads the stream footers and indexes only, asking where to seek.
  std::vector<std::uint8_t> buffer(1 << 16);
  std::uint64_t position = 0;
  std::optional<std::uint64_t> size;
  for (;;) {
    if (stream.avail_in == 0) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), file_size - std::min(position, file_size)));
      if (n > 0 && !file.read_at(position, buffer.data(), n)) break;
      stream.next_in = buffer.data();
      stream.avail_in = n;
      position += n;
    }
    const lzma_ret code = lzma_code(&stream, stream.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
    if (code == LZMA_SEEK_NEEDED) {
      position = stream.seek_pos;
      stream.avail_in = 0;
      continue;
    }
    if (code == LZMA_STREAM_END) size = lzma_index_uncompressed_size(index);
    if (code != LZMA_OK) break;
  }
  if (index != nullptr) lzma_index_end(index, nullptr);
  lzma_end(&stream);
  return size;
}

std::optional<std::uint64_t> zstd_recorded_size(random_access& file) {
  // Read with pread, never mapped: a file that shrinks under a mapping raises SIGBUS,
  // which ends the host application. Only frame and block headers are read.
  const std::uint64_t file_size = file.size();
  if (file_size == 0) return std::nullopt;
  std::uint64_t size = 0;
  for (std::uint64_t at = 0; at < file_size;) {
    std::uint8_t header[18] = {};  // the longest frame header
    const auto header_length = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof header, file_size - at));
    if (header_length < 8 || !file.read_at(at, header, header_length)) return std::nullopt;
    const std::uint32_t magic = little_endian(header, 4);
    if ((magic & ZSTD_MAGIC_SKIPPABLE_MASK) == ZSTD_MAGIC_SKIPPABLE_START) {
      at += 8 + little_endian(header + 4, 4);
      continue;
    }
    const unsigned long long frame_size = ZSTD_getFrameContentSize(header, header_length);
    if (magic != ZSTD_MAGICNUMBER || frame_size == ZSTD_CONTENTSIZE_ERROR || frame_size == ZSTD_CONTENTSIZE_UNKNOWN) {
      return std::nullopt;
    }
    const std::uint8_t descriptor = header[4];
    const bool single_segment = (descriptor & 0x20) != 0;
    static const unsigned dictionary_id_bytes[] = {0, 1, 2, 4};
    static const unsigned content_size_bytes[] = {0, 2, 4, 8};
    const unsigned size_flag = descriptor >> 6;
    at += 5 + (single_segment ? 0 : 1) + dictionary_id_bytes[descriptor & 3] +
          (size_flag == 0 && single_segment ? 1 : content_size_bytes[size_flag]);
    for (bool last = false; !last;) {
      std::uint8_t block[3];
      if (at + sizeof block > file_size || !file.read_at(at, block, sizeof block)) return std::nullopt;
      const std::uint32_t block_header = little_endian(block, 3);
      const unsigned type = (block_header >> 1) & 3;
      if (type == 3) return std::nullopt;  // reserved: not a zstd block
      last = (block_header & 1) != 0;
      at += sizeof block + (type == 1 ? 1 : block_header >> 3);  // an RLE block stores its one byte
    }
    if ((descriptor & 0x04) != 0) at += 4;  // the content checksum
    if (at > file_size) return std::nullopt;
    size += frame_size;
  }
  return size;
}

}  // namespace image
