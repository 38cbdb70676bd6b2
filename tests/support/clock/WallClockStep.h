#pragma once
// Moves the wall clock of this process only: linked into a test binary, the
// wall_clock_testkit library stands in front of the C library's clock_gettime
// (CLOCK_REALTIME and its coarse variant), gettimeofday and time, and adds an offset that
// the test changes. The monotonic clock and the kernel's own clocks are untouched, so code
// that measures intervals on the wall clock sees the step and code on the monotonic clock
// does not.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

extern "C" {
// Adds seconds (negative: backwards) to the offset of the wall clock.
void wall_clock_step(int64_t seconds);
// The offset back to 0.
void wall_clock_reset(void);
}

namespace testkit {

// A wall clock that keeps jumping while it lives: every period_ms it moves by step_s
// seconds, like an operator setting the time again and again. Any interval measured on
// the wall clock over more than a period is then wrong. Restores the offset at the end.
class JumpingWallClock final {
public:
    // The first jump happens before the constructor returns.
    JumpingWallClock(int64_t step_s, int period_ms) {
        wall_clock_step(step_s);
        m_thread = std::thread([this, step_s, period_ms] {
            for (;;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(period_ms));
                if (m_stop)
                    return;
                wall_clock_step(step_s);
            }
        });
    }
    ~JumpingWallClock() {
        m_stop = true;
        m_thread.join();
        wall_clock_reset();
    }
    JumpingWallClock(const JumpingWallClock&) = delete;
    JumpingWallClock& operator=(const JumpingWallClock&) = delete;

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace testkit
