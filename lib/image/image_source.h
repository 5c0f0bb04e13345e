#pragma once
// The decoded bytes of an image, whatever its format: raw, or compressed with gzip,
// xz, zstd, bzip2 or zip. The format comes from the first stored bytes, never from the
// image's name.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "image/byte_source.h"
#include "support/coded_error.h"

namespace image {

enum class format { raw, gzip, xz, zstd, bzip2, zip };

const char* format_name(format f);

// What the start checks and the progress figures need to know of an image file.
struct image_info {
  image::format format = format::raw;
  std::uint64_t file_size = 0;           // bytes of the file as stored; 0 while unknown (a download)
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

// The format that the first stored bytes (8 suffice) tell.
format detect(const std::vector<std::uint8_t>& head);

// The decoded size where the format records it in a place read through `file`: the xz
// index, the zip directory. None for the other formats.
std::optional<std::uint64_t> recorded_size(format f, random_access& file);

// Reads the format and, where recorded, the decoded size of a local file. Throws a
// coded_error (EIMAGE) for anything a job could not read as an image: a missing, empty
// or unreadable file, a directory, a device node. The file is opened with `open_flags`
// besides O_RDONLY.
image_info inspect(const std::string& path, int open_flags = 0);

// A decoder of the image from its start over its stored bytes `stored`; a zip
// archive's directory is read through `file`. Both outlive the decoder.
std::unique_ptr<image_source> open(byte_source& stored, const image_info& info, random_access& file);

}  // namespace image
