#pragma once
// One image source per format, each over its library.
#include <cstdint>
#include <memory>
#include <string>

#include "image/image_source.h"

namespace image {

std::unique_ptr<image_source> open_raw(const std::string& path);
std::unique_ptr<image_source> open_gzip(const std::string& path);
std::unique_ptr<image_source> open_xz(const std::string& path);
std::unique_ptr<image_source> open_zstd(const std::string& path);
std::unique_ptr<image_source> open_bzip2(const std::string& path);
std::unique_ptr<image_source> open_zip(const std::string& path);

}  // namespace image
