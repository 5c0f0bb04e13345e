#include "image/stream_source.h"

#include <algorithm>

namespace image {

std::size_t stream_source::input_available() {
  if (start_ > 0) start_ -= std::min(start_, input_.skip(start_));
  return static_cast<std::size_t>(std::min<std::uint64_t>(input_.available(), left_));
}

std::size_t stream_source::read(std::uint8_t* buffer, std::size_t size) {
  std::size_t made = 0;
  while (made < size && !ended_) {
    const std::size_t available = input_available();
    const bool input_ended = available == 0;
    const step_result r = step(input_.data(), available, buffer + made, size - made, input_ended);
    input_.advance(r.input_used);
    left_ -= r.input_used;
    made += r.output_made;
    if (r.stream_end) {
      if (input_available() == 0) {
        ended_ = true;
        finish();
      } else {
        next_stream();
      }
    } else if (input_ended && r.output_made == 0) {
      throw corrupt_data("unexpected end of data");
    }
  }
  return made;
}

}  // namespace image
