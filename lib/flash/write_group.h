#pragma once
// The drives of one group write. The first drive's job to get there opens the image,
// once for all of them, with one taker per drive; each drive's job then sees the
// image's first chunk decoded before it touches its drive, prepares on its own thread
// (unmount, access, capacity check) and takes the chunks. A drive that fails, is pulled
// out or is cancelled leaves; the others go on. The group goes at the pace of its
// slowest drive: the ring lets a drive fall behind by its depth, no further.
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "flash/image_pipeline.h"

class write_group {
 public:
  write_group(image_plan plan, std::size_t drives);

  // The group's pipeline, opened by the first call. Throws the opening's coded_error,
  // to every caller.
  image_pipeline& open();
  // Drive `drive` takes no more chunks, or never will; a second call does nothing.
  void leave(std::size_t drive);

 private:
  image_plan plan_;
  std::mutex mutex_;
  bool opened_ = false;
  std::unique_ptr<image_pipeline> pipeline_;
  std::optional<coded_error> open_failure_;
  std::vector<bool> left_;  // per drive
};

// One drive's part in a group, held by its job: it leaves when the job is done with
// the image (or ends), so that the others never wait for it.
class group_membership {
 public:
  group_membership(std::shared_ptr<write_group> group, std::size_t drive) : group_(std::move(group)), drive_(drive) {}
  ~group_membership() { leave(); }
  group_membership(const group_membership&) = delete;
  group_membership& operator=(const group_membership&) = delete;

  image_pipeline& image() { return group_->open(); }
  std::size_t taker() const { return drive_; }
  void leave() { group_->leave(drive_); }

 private:
  std::shared_ptr<write_group> group_;
  std::size_t drive_;
};
