#pragma once
#include <cstdint>

namespace thread_sleep {

void millisec(std::uint32_t milliseconds);
void microsec(std::uint32_t microseconds);

}  // namespace thread_sleep
