// The 32-bit millisecond tick counter (CLOCK_MONOTONIC), wrapping like the
// Windows one after about 49.7 days; deadlines compare with signed differences.
#pragma once

#include <cstdint>

namespace plat {

std::uint32_t GetTickCount();

// True when `now` is at or after `deadline`, across a wrap of the counter.
constexpr bool TickIsPast(std::uint32_t now, std::uint32_t deadline) {
  return static_cast<std::int32_t>(now - deadline) >= 0;
}
// Milliseconds from now until deadline, 0 when passed.
constexpr std::uint32_t TicksUntil(std::uint32_t now, std::uint32_t deadline) {
  return TickIsPast(now, deadline) ? 0 : deadline - now;
}

}  // namespace plat
