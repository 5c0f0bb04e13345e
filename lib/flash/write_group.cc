#include "flash/write_group.h"

write_group::write_group(image_plan plan, std::size_t drives, std::size_t chunks_held)
    : plan_(std::move(plan)), chunks_held_(chunks_held), unsettled_(drives) {}

void write_group::settle_one() {
  if (--unsettled_ > 0) return;
  if (!joined_.empty()) {
    try {
      pipeline_ = std::make_unique<image_pipeline>(plan_, joined_.size(), chunks_held_);
    } catch (const std::exception& e) {
      open_failure_ = e.what();
    }
  }
  settled_.notify_all();
}

image_pipeline* write_group::join(std::size_t drive, std::size_t& taker, std::string& failure) {
  std::unique_lock<std::mutex> lock(mutex_);
  taker = joined_.size();
  joined_.push_back(drive);
  settle_one();
  settled_.wait(lock, [this] { return unsettled_ == 0; });
  failure = open_failure_;
  return pipeline_.get();
}

void write_group::drop_out(std::size_t) {
  std::lock_guard<std::mutex> lock(mutex_);
  settle_one();
}

group_membership::~group_membership() {
  if (!settled_) group_->drop_out(drive_);
  leave();
}

void group_membership::leave() {
  if (pipeline_ != nullptr) pipeline_->leave(taker_);
  pipeline_ = nullptr;
}

image_pipeline* group_membership::join(std::string& failure) {
  settled_ = true;
  pipeline_ = group_->join(drive_, taker_, failure);
  return pipeline_;
}
