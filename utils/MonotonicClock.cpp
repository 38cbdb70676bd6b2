#include "utils/MonotonicClock.h"

namespace utils {

namespace {

constexpr int64_t kNanosPerSecond = 1000000000LL;

int64_t to_nanos(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * kNanosPerSecond + t.tv_nsec; }

timespec from_nanos(int64_t nanos) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(nanos / kNanosPerSecond);
    t.tv_nsec = static_cast<long>(nanos % kNanosPerSecond);
    return t;
}

}  // namespace

timespec monotonic_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec monotonic_after(uint64_t ms) {
    return from_nanos(to_nanos(monotonic_now()) + static_cast<int64_t>(ms) * 1000000LL);
}

int64_t monotonic_seconds() { return static_cast<int64_t>(monotonic_now().tv_sec); }

timespec monotonic_at_wall_time(time_t wall_seconds) {
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    // Read after the wall clock, so that the result errs late rather than early.
    const int64_t mono = to_nanos(monotonic_now());
    const int64_t wait = static_cast<int64_t>(wall_seconds) * kNanosPerSecond - to_nanos(wall);
    return from_nanos(mono + (wait > 0 ? wait : 0));
}

}  // namespace utils
