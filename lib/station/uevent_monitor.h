#pragma once
// Listens to the kernel's uevents on the kobject netlink socket (the kernel's own
// multicast group, which needs no udev daemon): the events of devices that appear,
// change and go.
#include <chrono>
#include <optional>

#include "device/block_io.h"
#include "station/uevent.h"

namespace station {

class uevent_monitor {
 public:
  // The result of one wait.
  struct received {
    std::optional<uevent> event;  // none: the wait timed out (or the message was not a uevent)
    bool lost = false;            // the socket overflowed: events were lost, look again at what is there
  };

  // Throws coded_error (ENODRIVE) when the socket cannot be opened.
  uevent_monitor();
  // Waits up to `timeout` for the next message.
  received next(std::chrono::milliseconds timeout);

 private:
  block_io::unique_fd socket_;
};

}  // namespace station
