#include "device/capacity_check.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <stdexcept>
#include <string>

#include "device/block_io.h"
#include "support/coded_error.h"

namespace capacity_check {
namespace {

constexpr std::uint64_t signature_size = 4096;
constexpr std::uint64_t least_signatures = 64;
constexpr char magic[16] = {'f', 'l', 'a', 's', 'h', 'e', 'r', ' ', 'c', 'a', 'p', 'a', 'c', 'i', 't', 'y'};

struct run_id {
  std::uint8_t bytes[16];
};

run_id new_run_id() {
  run_id id{};
  std::random_device random;
  for (auto& b : id.bytes) b = static_cast<std::uint8_t>(random());
  return id;
}

// The magic text, the run id, the offset, then bytes that depend on both: a block
// moved, cut short or left from an earlier run never matches.
void make_signature(const run_id& id, std::uint64_t offset, std::uint8_t* out) {
  std::memcpy(out, magic, 16);
  std::memcpy(out + 16, id.bytes, 16);
  for (int i = 0; i < 8; ++i) out[32 + i] = static_cast<std::uint8_t>(offset >> (8 * i));
  std::uint64_t state = offset ^ 0x9e3779b97f4a7c15ULL;
  for (std::uint8_t b : id.bytes) state = (state ^ b) * 0x100000001b3ULL;
  state |= 1;  // xorshift never leaves zero
  for (std::uint64_t i = 40; i < signature_size; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    out[i] = static_cast<std::uint8_t>(state);
  }
}

// The offset whose whole signature of this run `block` holds, if any.
bool signature_offset_of(const run_id& id, const std::uint8_t* block, std::uint64_t& offset) {
  if (std::memcmp(block, magic, 16) != 0 || std::memcmp(block + 16, id.bytes, 16) != 0) return false;
  offset = 0;
  for (int i = 0; i < 8; ++i) offset |= std::uint64_t{block[32 + i]} << (8 * i);
  std::uint8_t expected[signature_size];
  make_signature(id, offset, expected);
  return std::memcmp(block, expected, signature_size) == 0;
}

bool pwrite_full(int fd, const std::uint8_t* data, std::uint64_t offset) {
  return ::pwrite(fd, data, signature_size, static_cast<off_t>(offset)) == static_cast<ssize_t>(signature_size);
}

// The lowest offset shown to be past the kept bytes. A failed offset whose block holds
// another offset's signature shares its place on the medium with it: of all the
// offsets sharing one place, every one but the lowest lies past the end.
std::uint64_t estimate_usable(const std::map<std::uint64_t, std::vector<std::uint64_t>>& sharing,
                              std::uint64_t lowest_unshared) {
  std::uint64_t estimate = lowest_unshared;
  for (auto [owner, offsets] : sharing) {
    offsets.push_back(owner);
    std::sort(offsets.begin(), offsets.end());
    estimate = std::min(estimate, offsets[1]);
  }
  return estimate;
}

}  // namespace

std::vector<std::uint64_t> signature_offsets(std::uint64_t reported_size) {
  std::vector<std::uint64_t> offsets;
  if (reported_size < signature_size) return offsets;
  std::uint64_t stride = signature_size;
  while (stride * 2 * least_signatures <= reported_size) stride *= 2;
  for (std::uint64_t at = 0; at + signature_size <= reported_size; at += stride) offsets.push_back(at);
  if (offsets.back() != reported_size - signature_size) offsets.push_back(reported_size - signature_size);
  return offsets;
}

namespace {

// Whether one of `ranges` holds the signature at `offset` whole.
bool covered(const byte_ranges& ranges, std::uint64_t offset) {
  return std::any_of(ranges.begin(), ranges.end(), [&](const auto& range) {
    return range.first <= offset && offset + signature_size <= range.second;
  });
}

}  // namespace

verdict run(int device_fd, std::uint64_t reported_size, const byte_ranges& image_writes) {
  const std::vector<std::uint64_t> offsets = signature_offsets(reported_size);
  const run_id id = new_run_id();
  block_io::aligned_buffer block(signature_size);
  // A second descriptor of the same file, for reads from the medium itself.
  block_io::unique_fd reader(
      block_io::open_for_read_back("/proc/self/fd/" + std::to_string(device_fd), block.get()));
  if (!reader.valid()) {
    throw coded_error(reason::write, "failed to open device for the capacity check: " + block_io::last_error_text(), errno);
  }
  block_io::aligned_buffer found_there(offsets.size() * signature_size);
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    std::uint8_t* original = found_there.get() + i * signature_size;
    if (block_io::read_full_at(reader.get(), original, signature_size, offsets[i]) != signature_size) {
      throw coded_error(reason::write, "failed to read the drive for the capacity check: " + block_io::last_error_text(),
                        errno, offsets[i]);
    }
  }

  std::vector<bool> written(offsets.size());
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    make_signature(id, offsets[i], block.get());
    written[i] = pwrite_full(device_fd, block.get(), offsets[i]);
  }
  ::fsync(device_fd);
  block_io::drop_cached_pages(reader.get());  // where the reads are not direct

  verdict result;
  std::map<std::uint64_t, std::vector<std::uint64_t>> sharing;  // owner of the signature -> offsets holding it
  std::uint64_t lowest_unshared = reported_size;
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    std::uint64_t found = 0;
    const bool read = ::pread(reader.get(), block.get(), signature_size, static_cast<off_t>(offsets[i])) ==
                      static_cast<ssize_t>(signature_size);
    const bool holds = read && signature_offset_of(id, block.get(), found);
    if (written[i] && holds && found == offsets[i]) continue;
    result.holds_all = false;
    if (holds && found != offsets[i]) {
      sharing[found].push_back(offsets[i]);
    } else {
      lowest_unshared = std::min(lowest_unshared, offsets[i]);
    }
  }
  if (!result.holds_all) result.usable_estimate = estimate_usable(sharing, lowest_unshared);

  // Backwards, so that on a drive that wraps the place two offsets share gets what it
  // held, whichever offset wrote it last.
  for (std::size_t i = offsets.size(); i-- > 0;) {
    if (result.holds_all && covered(image_writes, offsets[i])) continue;
    if (!pwrite_full(device_fd, found_there.get() + i * signature_size, offsets[i]) && result.holds_all) {
      throw coded_error(reason::write, "failed to put back the drive's contents after the capacity check: " +
                                           block_io::last_error_text(), errno, offsets[i]);
    }
  }
  ::fsync(device_fd);
  return result;
}

}  // namespace capacity_check
