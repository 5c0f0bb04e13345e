#include "flash/write_group.h"

write_group::write_group(image_plan plan, std::size_t drives) : plan_(std::move(plan)), left_(drives, false) {}

image_pipeline& write_group::open() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!opened_) {
    opened_ = true;
    try {
      pipeline_ = std::make_unique<image_pipeline>(plan_, left_.size());
      for (std::size_t drive = 0; drive < left_.size(); ++drive) {
        if (left_[drive]) pipeline_->leave(drive);
      }
    } catch (const coded_error& e) {
      open_failure_ = e;
    } catch (const std::exception& e) {
      open_failure_ = coded_error(reason::image, e.what());
    }
  }
  if (open_failure_) throw *open_failure_;
  return *pipeline_;
}

void write_group::leave(std::size_t drive) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (left_[drive]) return;
  left_[drive] = true;
  if (pipeline_) pipeline_->leave(drive);
}
