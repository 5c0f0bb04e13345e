#include "flash/image_pipeline.h"

#include <algorithm>

#include "image/range_checksum.h"
#include "net/http_fetch.h"
#include "net/url.h"

namespace {
constexpr std::uint64_t skip_step = 16 << 20;
constexpr std::uint64_t unbounded = UINT64_MAX;

// Opens the plan's source drive and records its extent as the image's size; none for
// an image file.
std::unique_ptr<source_drive_session> open_source_drive(image_plan& plan) {
  if (!plan.source) return nullptr;
  auto session = std::make_unique<source_drive_session>(*plan.source);
  if (plan.info.size && *plan.info.size != session->extent()) {
    throw coded_error(reason::image, "the partitions of the source drive changed since it was chosen");
  }
  plan.info.size = session->extent();
  plan.info.file_size = session->extent();
  return session;
}

std::optional<image::image_info> known_info(const image_plan& plan) {
  if (net::is_url(plan.request.location)) return std::nullopt;
  return plan.info;
}

// The plan with its block map read where it lies at a URL.
image_plan with_map(image_plan plan) {
  if (plan.map || plan.map_url.empty()) return plan;
  const std::optional<std::string> text = net::fetch_small(plan.map_url, origin::network_of(plan.request));
  if (!text) throw coded_error(reason::image, "invalid block map: no file at " + plan.map_url);
  plan.map = std::make_shared<image::block_map>(image::block_map::parse(*text));
  image::range_checksum sha256("sha256");
  sha256.update(reinterpret_cast<const std::uint8_t*>(text->data()), text->size());
  plan.map_sha256 = sha256.hex_digest();
  return plan;
}

}  // namespace

image_pipeline::image_pipeline(const image_plan& plan, std::size_t takers, std::size_t taker_depth)
    : plan_(with_map(plan)),
      takers_(takers),
      source_drive_(open_source_drive(plan_)),
      origin_(source_drive_ ? nullptr : std::make_unique<origin::image_origin>(plan_.request, known_info(plan_))),
      info_(origin_ ? origin_->info() : plan_.info),
      source_(source_drive_ ? source_drive_->take_reader() : open_decoder()),
      ring_(buffer_ring::group_depth(takers, std::max(taker_depth, ring_depth)), plan.block_size, takers,
            std::max(taker_depth, ring_depth), true),
      reader_([this] { read_image(); }) {}

image_pipeline::image_pipeline(const image_plan& plan, std::unique_ptr<image::image_source> source, std::size_t takers,
                               std::size_t taker_depth)
    : plan_(plan),
      takers_(takers),
      info_(plan.info),
      source_(std::move(source)),
      ring_(buffer_ring::group_depth(takers, std::max(taker_depth, ring_depth)), plan.block_size, takers,
            std::max(taker_depth, ring_depth), true),
      reader_([this] { read_image(); }) {}

image_pipeline::~image_pipeline() {
  stopping_ = true;
  if (origin_) origin_->stop();
  for (std::size_t taker = 0; taker < takers_; ++taker) ring_.leave(taker);
  reader_.join();
}

void image_pipeline::drop_unchecked_map() {
  if (!plan_.map || !plan_.map_found || !plan_.request.checked()) return;
  const std::string name = net::file_name_of(plan_.map_url);
  const std::optional<std::string> listed = origin_->listed_sha256(name);
  if (listed && *listed == plan_.map_sha256) return;
  if (listed) {
    unused_map_ = name + " differs from its checksum in " + plan_.request.checksums;
  } else if (plan_.request.checksums.empty()) {
    unused_map_ = "the image's SHA-256 does not cover " + name;
  } else {
    unused_map_ = plan_.request.checksums + " does not list " + name;
  }
  plan_.map.reset();
}

std::unique_ptr<image::image_source> image_pipeline::open_decoder() {
  drop_unchecked_map();
  if (plan_.map && info_.size) plan_.map->check_fits(*info_.size);
  return image::open(origin_->stored(), info_, origin_->random());
}

std::optional<std::uint64_t> image_pipeline::size() const {
  return plan_.map ? std::optional<std::uint64_t>(plan_.map->image_size) : info_.size;
}

std::optional<std::uint64_t> image_pipeline::whole_chunks() const {
  if (plan_.map) {
    std::uint64_t chunks = 0;
    for (const auto& range : plan_.map->ranges) chunks += (range.end - range.start + plan_.block_size - 1) / plan_.block_size;
    return chunks;
  }
  if (info_.size) return *info_.size / plan_.block_size;
  return std::nullopt;
}

double image_pipeline::share_consumed() const {
  if (info_.file_size == 0) return 0;
  return std::min(1.0, static_cast<double>(consumed_) / static_cast<double>(info_.file_size));
}

std::string short_read_text(const image_chunk& chunk) {
  const std::string counts = std::to_string(chunk.length) + "/" + std::to_string(chunk.expected) + " bytes";
  if (chunk.image_tail) return "failed to read image residual block with " + counts;
  return "failed to read image block #" + std::to_string(chunk.index) + " with " + counts;
}

void image_pipeline::check_readable() {
  const image_chunk* first = ring_.first_chunk();
  if (first != nullptr && first->length < first->expected) throw coded_error(reason::image, short_read_text(*first));
  if (first != nullptr) return;
  if (const std::optional<coded_error> failure = ring_.failure()) throw *failure;
}

// The reader thread: nothing thrown here leaves it; a failure ends the ring with its reason.
void image_pipeline::read_image() {
  try {
    if (read_ranges() && origin_) origin_->finish();
    ring_.close();
  } catch (const coded_error& e) {
    ring_.close(e);
  } catch (const std::exception& e) {
    ring_.close(coded_error(reason::image, e.what()));
  } catch (...) {
    ring_.close(coded_error(reason::image, "unknown failure of the image reader"));
  }
}

void image_pipeline::hash_chunk(image_chunk& chunk) const {
  // What a writer sends: the last block padded to a whole block, the others as they are
  // (or rounded up to whole sectors). The padding is written here, once, so that the
  // writers of a group only ever read the buffer.
  chunk.hashed_length = chunk.image_tail ? plan_.block_size : chunk.length;
  std::fill(chunk.bytes.get() + chunk.length, chunk.bytes.get() + chunk.padded_length(), std::uint8_t{0});
  chunk.hash = hash_bytes(chunk.bytes.get(), chunk.hashed_length);
}

bool image_pipeline::skip(std::uint64_t count, std::uint64_t* skipped) {
  std::uint64_t done = 0;
  bool whole = true;
  while (done < count && !stopping_) {
    const std::uint64_t step = std::min(skip_step, count - done);
    const std::uint64_t got = source_->skip(step);
    done += got;
    consumed_ = source_->consumed();
    if (got < step) {
      whole = false;
      break;
    }
  }
  if (skipped != nullptr) *skipped = done;
  return whole && !stopping_;
}

bool image_pipeline::read_ranges() {
  const std::optional<std::uint64_t> size = this->size();
  const std::uint64_t block_size = plan_.block_size;
  std::vector<image::mapped_range> ranges;
  if (plan_.map) {
    ranges = plan_.map->ranges;
  } else {
    ranges.push_back({0, size.value_or(unbounded), {}});
  }
  std::unique_ptr<image::range_checksum> checksum;
  if (plan_.map && !plan_.map->checksum_type.empty()) {
    checksum = std::make_unique<image::range_checksum>(plan_.map->checksum_type);
  }

  std::uint64_t position = 0;
  std::uint64_t index = 0;
  for (const image::mapped_range& range : ranges) {
    if (range.start > position && !skip(range.start - position)) {
      if (stopping_) return false;
      throw image::corrupt_data("the image ends before byte " + std::to_string(range.start));
    }
    position = range.start;
    while (position < range.end) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(block_size, range.end - position));
      image_chunk* chunk = ring_.take_free();
      if (chunk == nullptr) return false;
      const std::size_t got = source_->read(chunk->bytes.get(), want);
      consumed_ = source_->consumed();
      if (!size && got == 0) {  // an image of unknown size that ends on a block boundary
        ring_.put_back_unused(chunk);
        return true;
      }
      chunk->offset = position;
      chunk->length = got;
      chunk->expected = size ? want : got;
      chunk->index = index++;
      chunk->image_tail = !plan_.map && chunk->expected < block_size;
      chunk->trailing = 0;
      if (chunk->image_tail && got == want && size && info_.format == image::format::raw) {
        skip(unbounded, &chunk->trailing);  // a raw file that grew since it was chosen
      }
      if (checksum && !range.checksum.empty()) checksum->update(chunk->bytes.get(), got);
      hash_chunk(*chunk);
      if (chunk->index == 0 && origin_) origin_->seal();  // from here on bytes go to the drives
      ring_.publish(chunk);
      if (got < want) return !size;  // the job sees the short chunk, or the end of an image of unknown size
      position += got;
    }
    if (checksum && !range.checksum.empty() && checksum->hex_digest() != range.checksum) {
      throw coded_error(reason::image, "block map checksum mismatch for image bytes " + std::to_string(range.start) +
                                           "-" + std::to_string(range.end - 1));
    }
  }
  // Compressed data is read to its end, where the decoder checks its integrity.
  if (!plan_.map && size && info_.format != image::format::raw) {
    std::uint64_t beyond = 0;
    skip(unbounded, &beyond);
    if (stopping_) return false;
    if (beyond > 0) throw image::corrupt_data("more data than the recorded size");
  }
  return !stopping_;
}
