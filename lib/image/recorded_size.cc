#include "image/recorded_size.h"

#include <lzma.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <vector>

namespace image {

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

std::optional<std::uint64_t> zstd_recorded_size(int fd, std::uint64_t file_size) {
  if (file_size == 0) return std::nullopt;
  void* mapped = ::mmap(nullptr, file_size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (mapped == MAP_FAILED) return std::nullopt;
  // Walking the frames touches only their headers and block headers.
  ::madvise(mapped, file_size, MADV_RANDOM);
  const auto* bytes = static_cast<const std::uint8_t*>(mapped);
  std::optional<std::uint64_t> size = 0;
  for (std::uint64_t at = 0; at < file_size;) {
    const unsigned long long frame_size = ZSTD_getFrameContentSize(bytes + at, file_size - at);
    const std::size_t frame_length = ZSTD_findFrameCompressedSize(bytes + at, file_size - at);
    if (frame_size == ZSTD_CONTENTSIZE_ERROR || frame_size == ZSTD_CONTENTSIZE_UNKNOWN ||
        ZSTD_isError(frame_length)) {
      size.reset();
      break;
    }
    *size += frame_size;
    at += frame_length;
  }
  ::munmap(mapped, file_size);
  return size;
}

}  // namespace image
