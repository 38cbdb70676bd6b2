// Waits and timers keep their length while the wall clock jumps (an NTP correction, an
// operator setting the time): the process's wall clock is moved by wall_clock_testkit.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "tests/support/clock/WallClockStep.h"
#include "utils/CTimer.h"
#include "utils/event.h"

namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Records the monotonic time of each call.
class CallTimes final : public ITimerEventHandler {
public:
    void on_timer_event(void*) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_at.push_back(Steady::now());
        m_changed.notify_all();
    }
    // Waits (generous limit, against a hang only) for n calls; the calls so far.
    std::vector<Steady::time_point> wait_for(size_t n) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_at.size() >= n; });
        return m_at;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Steady::time_point> m_at;  // guarded by m_lock
};

}  // namespace

TEST(WallClockStep, EventWaitsKeepTheirLength) {
    utils::event e(false, false);
    for (const int64_t step : {-10, 10}) {
        SCOPED_TRACE(step);
        testkit::JumpingWallClock clock(step, 20);
        const auto begin = Steady::now();
        EXPECT_EQ(ETIMEDOUT, e.wait(200));
        const auto took = Steady::now() - begin;
        EXPECT_GE(took, milliseconds(200));
        EXPECT_LT(took, milliseconds(5000));
    }
}

TEST(WallClockStep, TimersKeepTheirGrid) {
    utils::CTimer& timer = utils::CTimer::instance();
    timer.start();
    for (const int64_t step : {-10, 10}) {
        SCOPED_TRACE(step);
        testkit::JumpingWallClock clock(step, 20);
        CallTimes calls;
        const auto begin = Steady::now();
        const uint32_t id = timer.start_timer(50, calls, nullptr, true, 0);
        const std::vector<Steady::time_point> at = calls.wait_for(4);
        timer.delete_timer(id);
        ASSERT_GE(at.size(), 4u) << "the timer stopped firing";
        // Not early: the fourth expiry of a 50 ms grid is 200 ms after the start.
        EXPECT_GE(at[3] - begin, milliseconds(200));
    }
    timer.stop();
}
