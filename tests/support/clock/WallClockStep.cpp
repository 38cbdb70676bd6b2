// Stands in front of the C library's wall-clock readers (see WallClockStep.h). The real
// functions are found behind this library with RTLD_NEXT.
#include "tests/support/clock/WallClockStep.h"

#include <dlfcn.h>
#include <sys/time.h>

#include <ctime>

namespace {

std::atomic<int64_t> g_offset_s{0};

using ClockGettime = int (*)(clockid_t, timespec*);
using GetTimeOfDay = int (*)(timeval*, void*);

ClockGettime real_clock_gettime() {
    static const auto real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
    return real;
}

GetTimeOfDay real_gettimeofday() {
    static const auto real = reinterpret_cast<GetTimeOfDay>(dlsym(RTLD_NEXT, "gettimeofday"));
    return real;
}

}  // namespace

extern "C" {

void wall_clock_step(int64_t seconds) { g_offset_s.fetch_add(seconds); }

void wall_clock_reset(void) { g_offset_s.store(0); }

int clock_gettime(clockid_t clock, timespec* out) noexcept {
    const int rc = real_clock_gettime()(clock, out);
    if (rc == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE))
        out->tv_sec += static_cast<time_t>(g_offset_s.load());
    return rc;
}

int gettimeofday(timeval* out, void* zone) noexcept {
    const int rc = real_gettimeofday()(out, zone);
    if (rc == 0)
        out->tv_sec += static_cast<time_t>(g_offset_s.load());
    return rc;
}

time_t time(time_t* out) noexcept {
    timespec now{};
    real_clock_gettime()(CLOCK_REALTIME, &now);
    const time_t value = now.tv_sec + static_cast<time_t>(g_offset_s.load());
    if (out)
        *out = value;
    return value;
}

}  // extern "C"
