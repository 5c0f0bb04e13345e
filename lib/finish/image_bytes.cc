#include "finish/image_bytes.h"

#include <algorithm>

namespace {

constexpr std::size_t kept_head = 1 << 20;

class image_bytes {
 public:
  explicit image_bytes(const image_plan& plan) : plan_(plan) { rewind(); }

  std::vector<std::uint8_t> read(std::uint64_t offset, std::size_t length) {
    std::vector<std::uint8_t> bytes;
    if (offset < head_.size()) {
      bytes.assign(head_.begin() + offset, head_.begin() + std::min<std::uint64_t>(offset + length, head_.size()));
    }
    const std::uint64_t at = offset + bytes.size();
    const std::size_t rest = length - bytes.size();
    if (rest == 0 || head_.size() < kept_head) return bytes;  // asked for no more, or the image ends in its head
    if (at < position_) rewind();
    position_ += source_->skip(at - position_);
    if (position_ != at) return bytes;  // the image ends before
    bytes.resize(bytes.size() + rest);
    const std::size_t got = source_->read(bytes.data() + bytes.size() - rest, rest);
    bytes.resize(bytes.size() - rest + got);
    position_ = at + got;
    return bytes;
  }

 private:
  void rewind() {
    source_.reset();  // before the origin it reads from
    origin_ = std::make_unique<origin::image_origin>(plan_.request, plan_.info);
    source_ = image::open(origin_->stored(), origin_->info(), origin_->random());
    head_.resize(kept_head);
    head_.resize(source_->read(head_.data(), kept_head));
    position_ = head_.size();
  }

  image_plan plan_;
  std::unique_ptr<origin::image_origin> origin_;
  std::unique_ptr<image::image_source> source_;
  std::vector<std::uint8_t> head_;
  std::uint64_t position_ = 0;
};

}  // namespace

read_at image_reader(const image_plan& plan) {
  auto bytes = std::make_shared<image_bytes>(plan);
  return [bytes](std::uint64_t offset, std::size_t length) { return bytes->read(offset, length); };
}
