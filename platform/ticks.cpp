#include "platform/ticks.h"

#include <ctime>

namespace plat {

std::uint32_t GetTickCount() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  // Kept to its low 32 bits on purpose: it wraps as the Windows counter does.
  std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

}  // namespace plat
