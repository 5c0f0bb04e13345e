#include "flash/first_block.h"

#include <algorithm>
#include <cstring>

image_chunk* first_block::part(const image_chunk& chunk, std::size_t from, std::size_t to, bool zero) {
  auto made = std::make_unique<image_chunk>(to - from);
  made->offset = chunk.offset + from;
  made->index = chunk.index;
  made->image_tail = chunk.image_tail && !zero;
  // The image's own bytes of the part; the padding after them is written too, as zeros.
  made->length = zero ? 0 : std::min(to, std::max(chunk.length, from)) - from;
  made->expected = made->length;
  made->hashed_length = to - from;
  if (zero) {
    std::memset(made->bytes.get(), 0, to - from);
  } else {
    std::memcpy(made->bytes.get(), chunk.bytes.get() + from, to - from);
  }
  made->hash = hash_bytes(made->bytes.get(), made->hashed_length);
  parts_.push_back(std::move(made));
  return parts_.back().get();
}

image_chunk* first_block::take(const image_chunk& chunk, std::size_t length) {
  const auto within = static_cast<std::size_t>(std::min<std::uint64_t>(length, span - chunk.offset));
  held_.push_back(part(chunk, 0, within, false));
  return within < length ? part(chunk, within, length, false) : nullptr;
}

std::vector<image_chunk*> first_block::zeros() {
  std::vector<image_chunk*> made;
  if (zeros_given_) return made;
  zeros_given_ = true;
  for (const image_chunk* held : held_) {
    image_chunk* zero = part(*held, 0, held->hashed_length, true);
    made.push_back(zero);
  }
  return made;
}

bool first_block::owns(const image_chunk* chunk) const {
  return std::any_of(parts_.begin(), parts_.end(), [&](const auto& own) { return own.get() == chunk; });
}
