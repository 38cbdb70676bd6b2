#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/log/LogCapture.h"
#include "utils/CTimer.h"

namespace {

int64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

constexpr int64_t kMs = 1000000LL;

// Records when and for whom it was called; can delete its own timer or linger.
class Recorder final : public ITimerEventHandler {
public:
    void on_timer_event(void* user) override {
        const int64_t at = now_ns();
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_calls.push_back({at, user});
            m_changed.notify_all();
        }
        if (m_linger_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_linger_ms));
        if (m_delete_after > 0 && calls() == m_delete_after)
            m_delete_result = utils::CTimer::instance().delete_timer(m_own_id);
    }

    // Waits until n calls happened or the generous limit passed; returns the call count.
    size_t wait_for(size_t n, int limit_ms = 10000) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait_for(lock, std::chrono::milliseconds(limit_ms), [&] { return m_calls.size() >= n; });
        return m_calls.size();
    }
    size_t calls() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_calls.size();
    }
    int64_t at(size_t i) {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_calls.at(i).at;
    }
    void* user(size_t i) {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_calls.at(i).user;
    }

    std::atomic<int> m_linger_ms{0};
    std::atomic<size_t> m_delete_after{0};
    std::atomic<uint32_t> m_own_id{0};
    std::atomic<bool> m_delete_result{false};

private:
    struct Call {
        int64_t at;
        void* user;
    };
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Call> m_calls;  // guarded by m_lock
};

// Starts the process-wide service for one test and empties it afterwards. The recorders
// outlive TearDown, so no handler can still run on them when they go.
class TimerService : public ::testing::Test {
protected:
    void SetUp() override { timer().start(); }
    void TearDown() override { timer().stop(); }
    static utils::CTimer& timer() { return utils::CTimer::instance(); }
    Recorder a;
    Recorder b;
};

// Lateness allowed on a loaded machine; lower bounds are exact.
constexpr int64_t kLateness = 250 * kMs;

}  // namespace

TEST_F(TimerService, StartAtFiresOnExactGridEvenWithSlowHandlers) {
    a.m_linger_ms = 30;  // shorter than the interval: must not shift the grid
    const time_t start_at = time(nullptr) + 1;
    const int64_t base = static_cast<int64_t>(start_at) * 1000000000LL;
    int tag_a = 0;
    int tag_b = 0;
    // Same start and interval: both keys hold the same expiry and both must fire.
    const uint32_t id_a = timer().start_timer(50, a, &tag_a, true, start_at);
    const uint32_t id_b = timer().start_timer(50, b, &tag_b, true, start_at);
    EXPECT_EQ(id_b, id_a + 1);

    ASSERT_EQ(a.wait_for(10), 10u);
    ASSERT_GE(b.wait_for(10), 10u);
    EXPECT_TRUE(timer().delete_timer(id_a));
    EXPECT_TRUE(timer().delete_timer(id_b));
    for (size_t k = 0; k < 10; ++k) {
        const int64_t due = base + static_cast<int64_t>(k) * 50 * kMs;
        EXPECT_GE(a.at(k), due) << "call " << k;
        EXPECT_LT(a.at(k), due + kLateness) << "call " << k;
        EXPECT_GE(b.at(k), due) << "call " << k;
        EXPECT_EQ(a.user(k), &tag_a);
        EXPECT_EQ(b.user(k), &tag_b);
    }
}

TEST_F(TimerService, OneShotFiresOnceAndIsGone) {
    Recorder& r = a;
    const int64_t before = now_ns();
    const uint32_t id = timer().start_timer(30, r, nullptr, false, 0);
    ASSERT_EQ(r.wait_for(1), 1u);
    EXPECT_GE(r.at(0), before + 30 * kMs);
    // Handlers run one after another: once this one ran, the first call has completed.
    timer().start_timer(10, b, nullptr, false, 0);
    ASSERT_EQ(b.wait_for(1), 1u);
    EXPECT_FALSE(timer().delete_timer(id));
    EXPECT_FALSE(timer().restart_timer(id));
    EXPECT_EQ(r.wait_for(2, 200), 1u);
}

TEST_F(TimerService, RestartMovesToNextGridPoint) {
    Recorder& r = a;
    const int64_t before = now_ns();
    const uint32_t id = timer().start_timer(300, r, nullptr, true, 0);
    ASSERT_EQ(r.wait_for(1), 1u);
    timer().start_timer(10, b, nullptr, false, 0);  // runs after the first call completed
    ASSERT_EQ(b.wait_for(1), 1u);
    // Pending expiry is base + 600 ms; a restart moves it to base + 900 ms.
    EXPECT_TRUE(timer().restart_timer(id));
    ASSERT_EQ(r.wait_for(2), 2u);
    ASSERT_EQ(r.wait_for(3), 3u);
    EXPECT_TRUE(timer().delete_timer(id));
    EXPECT_GE(r.at(1), before + 900 * kMs);
    EXPECT_GE(r.at(2), before + 1200 * kMs);
    EXPECT_FALSE(timer().restart_timer(0));
}

TEST_F(TimerService, HandlerMayDeleteItsOwnTimer) {
    Recorder& r = a;
    r.m_delete_after = 3;
    r.m_own_id = timer().start_timer(20, r, nullptr, true, 0);
    ASSERT_EQ(r.wait_for(3), 3u);
    EXPECT_EQ(r.wait_for(4, 300), 3u);
    EXPECT_TRUE(r.m_delete_result);
    EXPECT_FALSE(timer().delete_timer(r.m_own_id));
}

TEST_F(TimerService, StopDropsPendingTimersAndIdsKeepGrowing) {
    LogCapture log;
    Recorder& r = a;
    const uint32_t first = timer().start_timer(200, r, nullptr, false, 0);
    const uint32_t second = timer().start_timer(10, r, nullptr, false, time(nullptr) + 3600);
    EXPECT_EQ(second, first + 1);
    timer().stop();
    EXPECT_EQ(r.wait_for(1, 400), 0u);
    EXPECT_FALSE(timer().delete_timer(first));
    EXPECT_FALSE(timer().delete_timer(second));
    EXPECT_EQ(log.count("killed"), 0);

    timer().start();  // the service can run again after a stop
    const uint32_t third = timer().start_timer(10, r, nullptr, false, 0);
    EXPECT_GT(third, second);
    EXPECT_EQ(r.wait_for(1), 1u);
    EXPECT_EQ(log.count("Deleting Timer:"), 0);
}
