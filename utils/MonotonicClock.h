#pragma once

#include <cstdint>
#include <ctime>

namespace utils {

// Every interval the program waits for or measures runs on CLOCK_MONOTONIC: a step of the
// wall clock (NTP at boot, an operator setting the time) must neither stretch nor cut a
// time-out, a retry, a fade or a timer.

timespec monotonic_now();
// The monotonic time ms milliseconds from now.
timespec monotonic_after(uint64_t ms);
// Whole seconds of the monotonic clock.
int64_t monotonic_seconds();
// The monotonic time at which the wall clock will show wall_seconds (and 0 nanoseconds),
// as the two clocks stand now, never earlier than that moment; now for a time already past.
timespec monotonic_at_wall_time(time_t wall_seconds);

}  // namespace utils
