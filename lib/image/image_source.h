#pragma once
// The decoded bytes of an image file, whatever its format: raw, or compressed with
// gzip, xz, zstd, bzip2 or zip. The format comes from the file's first bytes, never
// from its name.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/coded_error.h"

namespace image {

enum class format { raw, gzip, xz, zstd, bzip2, zip };

const char* format_name(format f);

// What the start checks and the progress figures need to know of an image file.
struct image_info {
  image::format format = format::raw;
  std::uint64_t file_size = 0;           // bytes of the file as stored
  std::optional<std::uint64_t> size;     // decoded bytes, where the format records them
};

// The decoder found data it cannot decode (corrupt or truncated). Its text reads
// "image data is corrupt: <the decoder's reason>".
class corrupt_data : public coded_error {
 public:
  explicit corrupt_data(const std::string& cause) : coded_error(reason::image, "image data is corrupt: " + cause) {}
};

class image_source {
 public:
  virtual ~image_source() = default;

  // Decodes up to `size` bytes into `buffer`; fewer only at the end of the data (or,
  // for a raw file, where reading fails). Throws corrupt_data.
  virtual std::size_t read(std::uint8_t* buffer, std::size_t size) = 0;

  // Passes over `count` decoded bytes; returns how many there were.
  virtual std::uint64_t skip(std::uint64_t count);

  // Bytes of the file consumed so far: the progress of an image of unknown size.
  virtual std::uint64_t consumed() const = 0;
};

// Reads the format and, where recorded, the decoded size. Throws a coded_error
// (EIMAGE) for anything a job could not read as an image: a missing, empty or
// unreadable file, a directory, a device node.
image_info inspect(const std::string& path);

// Opens the image for decoding from its start. Throws std::runtime_error when the
// file cannot be opened.
std::unique_ptr<image_source> open(const std::string& path, const image_info& info);

}  // namespace image
