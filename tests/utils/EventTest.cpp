#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "utils/event.h"

namespace {

// Starts n threads that each wait on the event once with the given limit.
class Waiters final {
public:
    Waiters(utils::event& ev, int n, uint64_t ms) {
        for (int i = 0; i < n; ++i)
            m_threads.emplace_back([this, &ev, ms] {
                ++m_waiting;
                if (ev.wait(ms) == 0)
                    ++m_woken;
                else
                    ++m_timed_out;
            });
    }
    ~Waiters() { join(); }
    void join() {
        for (auto& t : m_threads)
            if (t.joinable())
                t.join();
    }
    std::atomic<int> m_waiting{0};
    std::atomic<int> m_woken{0};
    std::atomic<int> m_timed_out{0};

private:
    std::vector<std::thread> m_threads;
};

// Gives waiters time to reach their condition wait; correctness does not depend on it,
// only that the wake-ups below actually find sleepers.
void let_waiters_sleep() { std::this_thread::sleep_for(std::chrono::milliseconds(200)); }

}  // namespace

TEST(Event, ZeroWaitTimesOutAndSetFlagIsConsumed) {
    utils::event ev(false, false);
    EXPECT_EQ(ev.wait(0), ETIMEDOUT);
    EXPECT_FALSE(ev.is_set());
    ev.set();
    EXPECT_TRUE(ev.is_set());
    EXPECT_EQ(ev.wait(0), 0);
    EXPECT_FALSE(ev.is_set());
    EXPECT_EQ(ev.wait(20), ETIMEDOUT);

    utils::event initially(false, true);
    EXPECT_EQ(initially.wait(0), 0);

    // Still usable from another thread after the time-outs.
    std::thread setter([&ev] { ev.set(); });
    EXPECT_EQ(ev.wait(utils::event::INFINITE), 0);
    setter.join();

    timespec past{};
    past.tv_sec = 1;
    EXPECT_EQ(ev.wait(past), ETIMEDOUT);
}

TEST(Event, BroadcastWakesAllSignalWakesOne) {
    {
        utils::event ev(true, false);
        Waiters waiters(ev, 3, 10000);
        let_waiters_sleep();
        ev.set();
        waiters.join();
        EXPECT_EQ(waiters.m_woken, 3);
        // A broadcast wake leaves the flag set; the next wait consumes it.
        EXPECT_TRUE(ev.is_set());
        EXPECT_EQ(ev.wait(0), 0);
        EXPECT_FALSE(ev.is_set());
    }
    {
        utils::event ev(false, false);
        Waiters waiters(ev, 2, 1500);
        let_waiters_sleep();
        ev.set();
        waiters.join();
        EXPECT_EQ(waiters.m_woken, 1);
        EXPECT_EQ(waiters.m_timed_out, 1);
        EXPECT_FALSE(ev.is_set());
    }
}

TEST(Event, NotifyWakesWithoutLeavingFlag) {
    utils::event ev(false, false);
    {
        Waiters waiters(ev, 1, 10000);
        let_waiters_sleep();
        ev.notify();
        waiters.join();
        EXPECT_EQ(waiters.m_woken, 1);
    }
    EXPECT_FALSE(ev.is_set());
    EXPECT_EQ(ev.wait(0), ETIMEDOUT);

    ev.set();
    ev.notify();  // nothing to do on a signaled event
    EXPECT_TRUE(ev.is_set());
    ev.reset();
    EXPECT_FALSE(ev.is_set());

    std::atomic<bool> keep{false};
    EXPECT_EQ(ev.wait_while(keep, 10000), 0);
}
