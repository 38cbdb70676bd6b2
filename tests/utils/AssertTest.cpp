// The runtime layer's checks for programming errors stop the program in every build
// type (the default build defines NDEBUG), naming the file, the function and the check.
#include <gtest/gtest.h>

#include <string>

#include "utils/CThread.h"
#include "utils/CTimer.h"
#include "utils/mutex.h"
#include "utils/utils.h"

namespace {

class NullHandler final : public ITimerEventHandler {
public:
    void on_timer_event(void*) override {}
};

// A body that sleeps until stopped.
class IdleThread final : public utils::CThread {
public:
    IdleThread() : CThread("idle") {}
    ~IdleThread() override { stop(1000); }
};

}  // namespace

class RuntimeAssertDeathTest : public ::testing::Test {
protected:
    // The "fast" style (fork without exec): an emulated test program cannot start another
    // one. Death tests run before all others, while the process has no second thread.
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }
};

TEST_F(RuntimeAssertDeathTest, NullArrayToTheHexConversion) {
    std::string out;
    EXPECT_DEATH(utils::convert_array_to_hex_string(nullptr, 2, out),
                 "utils\\.cpp:[0-9]+: void utils::convert_array_to_hex_string\\(.*\\): Assertion `array' failed\\.");
}

TEST_F(RuntimeAssertDeathTest, TimerIntervalBelowTenMilliseconds) {
    NullHandler handler;
    EXPECT_DEATH(utils::CTimer::instance().start_timer(5, handler, nullptr, true, 0),
                 "CTimer\\.cpp:[0-9]+: .*utils::CTimer::start_timer\\(.*\\): Assertion `interval>=10' failed\\.");
    EXPECT_DEATH(utils::CTimer::instance().start_timer(0, handler, nullptr, false, 0), "Assertion `interval>=10' failed");
}

TEST_F(RuntimeAssertDeathTest, ThreadStartedTwiceAndSuspendFromAnotherThread) {
    EXPECT_DEATH(
        {
            IdleThread thread;
            thread.start();
            thread.start();
        },
        "CThread\\.cpp:[0-9]+: int utils::CThread::start\\(.*\\): Assertion `m_thread_id == 0' failed\\.");
    EXPECT_DEATH(
        {
            IdleThread thread;
            thread.start();
            thread.suspend(10);
        },
        "int utils::CThread::suspend\\(uint64_t\\) const: Assertion `pthread_equal\\(m_thread_id,pthread_self\\(\\)\\) != 0' "
        "failed\\.");
}

TEST_F(RuntimeAssertDeathTest, LockThatCannotBeCreated) {
    EXPECT_DEATH(utils::mutex broken(12345),
                 "mutex\\.cpp:[0-9]+: void utils::mutex::mutex_init\\(int\\): Assertion `ok == 0' failed\\.");
}
