#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>

#include "tests/support/log/LogCapture.h"
#include "utils/CThread.h"
#include "utils/event.h"

namespace {

// A body that follows the stop protocol, then checks that suspend no longer sleeps.
class CooperativeThread final : public utils::CThread {
public:
    CooperativeThread() : CThread("coop") {}
    ~CooperativeThread() override { stop(1000); }
    utils::event m_entered{true, false};
    std::atomic<int> m_suspend_after_stop{-1};
    std::atomic<int> m_passes{0};

protected:
    void run(void*) override {
        m_entered.set();
        while (is_started()) {
            ++m_passes;
            suspend(utils::event::INFINITE);
        }
        m_suspend_after_stop = suspend(5000);
    }
};

// A body that ignores the stop protocol; nanosleep is its only cancellation point.
class StubbornThread final : public utils::CThread {
public:
    StubbornThread() : CThread("stubborn") {}
    utils::event m_entered{true, false};

protected:
    void run(void*) override {
        m_entered.set();
        for (;;) {
            timespec pause{0, 1000000};
            nanosleep(&pause, nullptr);
        }
    }
};

// Reads its own system name as the kernel shows it.
class NamedThread final : public utils::CThread {
public:
    explicit NamedThread(const std::string& name) : CThread(name) {}
    ~NamedThread() override { stop(1000); }
    utils::event m_done{true, false};
    std::string m_comm;  // written by the body before m_done is set

protected:
    void run(void*) override {
        std::ifstream comm("/proc/self/task/" + std::to_string(tid()) + "/comm");
        std::getline(comm, m_comm);
        m_done.set();
        while (is_started())
            suspend(utils::event::INFINITE);
    }
};

// A body whose first act is a short sleep; it reports how that sleep ended.
class SleeperThread final : public utils::CThread {
public:
    SleeperThread() : CThread("sleeper") {}
    ~SleeperThread() override { stop(1000); }
    utils::event m_done{true, false};
    int m_result = -1;         // written by the body before m_done is set
    int64_t m_slept_ms = -1;   // likewise

protected:
    void run(void*) override {
        const auto begin = std::chrono::steady_clock::now();
        m_result = suspend(20);
        m_slept_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin)
                         .count();
        m_done.set();
        while (is_started())
            suspend(utils::event::INFINITE);
    }
};

}  // namespace

TEST(CThread, StartLeavesNoWakeUpForTheFirstSuspend) {
    // The new thread may reach its hand-shake before or after start() releases it; in
    // neither case may the release wake the body's first sleep.
    SleeperThread thread;
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(thread.start(), 0);
        ASSERT_EQ(thread.m_done.wait(10000), 0);
        EXPECT_EQ(thread.m_result, ETIMEDOUT) << "round " << round;
        EXPECT_GE(thread.m_slept_ms, 19) << "round " << round;
        thread.stop(2000);
        thread.m_done.reset();
    }
}

TEST(CThread, CooperativeStopEndsBodyWithoutKilling) {
    LogCapture log;
    CooperativeThread thread;
    for (int round = 0; round < 2; ++round) {  // an ended thread object may start again
        ASSERT_EQ(thread.start(), 0);
        ASSERT_EQ(thread.m_entered.wait(10000), 0);
        EXPECT_TRUE(thread.is_started());
        EXPECT_TRUE(thread.is_running());
        thread.resume();  // one extra pass, then back to sleep
        thread.stop(2000);
        EXPECT_FALSE(thread.is_started());
        EXPECT_FALSE(thread.is_running());
        EXPECT_EQ(thread.m_suspend_after_stop, 0);
        thread.m_entered.reset();
    }
    EXPECT_EQ(log.count("Thread 'coop' ("), 2);
    EXPECT_EQ(log.count("Thread coop ("), 2);
    EXPECT_EQ(log.count("exit normally"), 2);
    EXPECT_EQ(log.count("killed"), 0);
}

TEST(CThread, StopBeforeBodyRunsAndStopWhenIdle) {
    LogCapture log;
    CooperativeThread thread;
    thread.stop(100);  // never started: nothing happens
    ASSERT_EQ(thread.start(), 0);
    thread.stop(2000);  // may come before the body starts; the body must still end
    EXPECT_FALSE(thread.is_started());
    ASSERT_EQ(thread.start(), 0);
    ASSERT_EQ(thread.m_entered.wait(10000), 0);
    thread.stop(2000);
    EXPECT_EQ(log.count("killed"), 0);
}

TEST(CThread, ForcedStopCancelsAndReportsKilled) {
#ifdef __SANITIZE_THREAD__
    // ThreadSanitizer loses track of the locks a cancelled thread takes while unwinding.
    GTEST_SKIP() << "thread cancellation is not modelled by ThreadSanitizer";
#endif
    LogCapture log;
    StubbornThread thread;
    ASSERT_EQ(thread.start(), 0);
    ASSERT_EQ(thread.m_entered.wait(10000), 0);
    thread.stop(100);
    EXPECT_FALSE(thread.is_running());
    EXPECT_FALSE(thread.is_started());
    EXPECT_EQ(log.count("Thread stubborn( "), 1);
    EXPECT_EQ(log.count(") killed"), 1);
    EXPECT_EQ(log.count("exit normally"), 0);
}

TEST(CThread, SystemNameIsFirstFifteenCharacters) {
    NamedThread longname("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    ASSERT_EQ(longname.start(), 0);
    ASSERT_EQ(longname.m_done.wait(10000), 0);
    EXPECT_EQ(longname.m_comm, "ABCDEFGHIJKLMNO");
    EXPECT_TRUE(longname.set_priority(SCHED_OTHER, 0));
    longname.stop(1000);

    NamedThread shortname("Timer");
    ASSERT_EQ(shortname.start(), 0);
    ASSERT_EQ(shortname.m_done.wait(10000), 0);
    EXPECT_EQ(shortname.m_comm, "Timer");
    EXPECT_FALSE(shortname.set_priority(SCHED_OTHER, 99));  // out of range for SCHED_OTHER
}
