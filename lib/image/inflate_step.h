#pragma once
// One zlib inflate step, shared by the gzip and zip sources.
#include <zlib.h>

#include <algorithm>
#include <limits>

#include "image/image_source.h"
#include "image/stream_source.h"

namespace image {

inline step_result inflate_step(z_stream& z, const std::uint8_t* input, std::size_t input_size, std::uint8_t* output,
                                std::size_t output_size) {
  z.next_in = const_cast<Bytef*>(input);
  z.avail_in = static_cast<uInt>(std::min<std::size_t>(input_size, std::numeric_limits<uInt>::max()));
  z.next_out = output;
  z.avail_out = static_cast<uInt>(std::min<std::size_t>(output_size, std::numeric_limits<uInt>::max()));
  const uInt in_before = z.avail_in;
  const uInt out_before = z.avail_out;
  const int code = inflate(&z, Z_NO_FLUSH);
  if (code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR) throw corrupt_data(z.msg ? z.msg : zError(code));
  return {in_before - z.avail_in, out_before - z.avail_out, code == Z_STREAM_END};
}

}  // namespace image
