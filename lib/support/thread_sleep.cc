#include "support/thread_sleep.h"

#include <chrono>
#include <thread>

namespace thread_sleep {

void millisec(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void microsec(std::uint32_t microseconds) {
  std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

}  // namespace thread_sleep
