#include "image/stream_source.h"

namespace image {

std::size_t stream_source::read(std::uint8_t* buffer, std::size_t size) {
  std::size_t made = 0;
  while (made < size && !ended_) {
    const std::size_t available = input_.available();
    const bool input_ended = available == 0;
    const step_result r = step(input_.data(), available, buffer + made, size - made, input_ended);
    input_.advance(r.input_used);
    made += r.output_made;
    if (r.stream_end) {
      if (input_.available() == 0) {
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
