#pragma once
// The decoding loop shared by the compressed formats: input comes from the image's
// stored bytes (a byte_source), each format contributes one decoding step over its
// library.
#include <cstddef>
#include <cstdint>
#include <string>

#include "image/byte_source.h"
#include "image/image_source.h"

namespace image {

struct step_result {
  std::size_t input_used = 0;
  std::size_t output_made = 0;
  bool stream_end = false;  // a whole stream (member, frame) ended here
};

class stream_source : public image_source {
 public:
  std::size_t read(std::uint8_t* buffer, std::size_t size) final;
  std::uint64_t consumed() const final { return input_.consumed(); }

 protected:
  // Decodes bytes [start, start + length) of `input`.
  stream_source(byte_source& input, std::uint64_t start, std::uint64_t length)
      : input_(input), start_(start), left_(length) {}

  // Decodes from `input` into `output`; `input_ended` says no more input will come.
  // Throws corrupt_data with the library's reason.
  virtual step_result step(const std::uint8_t* input, std::size_t input_size, std::uint8_t* output,
                           std::size_t output_size, bool input_ended) = 0;
  // Prepares for another stream after one ended with input left (concatenated
  // members); the default takes none.
  virtual void next_stream() { throw corrupt_data("data after the end of the compressed stream"); }
  // Called once the last stream ended and the input is exhausted.
  virtual void finish() {}

 private:
  std::size_t input_available();

  byte_source& input_;
  std::uint64_t start_;  // bytes still to pass over before the region
  std::uint64_t left_;   // bytes of the region not yet consumed
  bool ended_ = false;
};

}  // namespace image
