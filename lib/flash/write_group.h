#pragma once
// The drives of one group write. Each drive's job prepares on its own thread (unmount,
// permissions, capacity check); once every drive has prepared or dropped out, the
// image is opened and read once for all that prepared. A drive that fails, is pulled
// out or is cancelled leaves; the others go on. Each drive goes at its own pace: one
// that falls a window behind goes on from a spool file (buffer_ring).
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "flash/image_pipeline.h"

class write_group {
 public:
  // `chunks_held`: the most chunks any drive of the group holds at once.
  write_group(image_plan plan, std::size_t drives, std::size_t chunks_held);

  // On drive `drive`'s job thread, its preparation passed: waits until every drive has
  // joined or dropped out. Returns the pipeline and sets `taker`, or returns nullptr
  // with `failure` set when the image cannot be opened.
  image_pipeline* join(std::size_t drive, std::size_t& taker, std::string& failure);
  // The drive takes no part (its preparation failed or it was cancelled first).
  void drop_out(std::size_t drive);

 private:
  void settle_one();  // under the lock

  image_plan plan_;
  std::size_t chunks_held_;
  std::mutex mutex_;
  std::condition_variable settled_;
  std::size_t unsettled_;
  std::vector<std::size_t> joined_;  // drives in the order they joined: their taker index
  std::unique_ptr<image_pipeline> pipeline_;
  std::string open_failure_;
};

// One drive's part in a group, held by its job: it drops out unless it joined, and
// leaves the pipeline when done, so that the others never wait for it.
class group_membership {
 public:
  group_membership(std::shared_ptr<write_group> group, std::size_t drive) : group_(std::move(group)), drive_(drive) {}
  ~group_membership();
  group_membership(const group_membership&) = delete;
  group_membership& operator=(const group_membership&) = delete;

  image_pipeline* join(std::string& failure);
  std::size_t taker() const { return taker_; }
  // Takes no more chunks (every one taken was given back).
  void leave();

 private:
  std::shared_ptr<write_group> group_;
  std::size_t drive_;
  image_pipeline* pipeline_ = nullptr;
  std::size_t taker_ = 0;
  bool settled_ = false;
};
