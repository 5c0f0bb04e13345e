#pragma once
// Zero detection: bytes split into runs of whole blocks that hold only zeros and runs
// that hold data, as the block map and the sparse output need them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace backup {

// Whether all `size` bytes are zero.
inline bool all_zero(const std::uint8_t* bytes, std::size_t size) {
  // The first byte zero and every byte equal to the one before it: memcmp's speed.
  return size == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, size - 1) == 0);
}

// Calls `visit(bytes, size, zero)` for each run of `bytes`, in order, blocks of
// `block` bytes at a time; a last, partial block counts as a block.
template <class Visit>
void for_each_run(const std::uint8_t* bytes, std::size_t size, std::size_t block, Visit&& visit) {
  std::size_t run_start = 0;
  bool run_zero = false;
  for (std::size_t at = 0; at < size; at += block) {
    const bool zero = all_zero(bytes + at, std::min(block, size - at));
    if (at > run_start && zero != run_zero) {
      visit(bytes + run_start, at - run_start, run_zero);
      run_start = at;
    }
    run_zero = zero;
  }
  if (size > run_start) visit(bytes + run_start, size - run_start, run_zero);
}

}  // namespace backup
