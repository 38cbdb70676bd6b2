#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

#include "utils/mutex.h"

namespace utils {

// A flag with a condition variable. Every operation holds the event's own mutex.
// Deadlines are CLOCK_MONOTONIC times (utils/MonotonicClock.h), so that a step of the
// wall clock neither stretches nor cuts a wait.
class event : public mutex {
public:
    static constexpr uint64_t INFINITE = 0xFFFFFFFFu;

    event(bool broadcast, bool signaled);
    ~event() override;

    void set();
    void notify();
    void reset();
    // 0 when signaled or woken, ETIMEDOUT when the time ran out, else the wait's error.
    int wait(uint64_t ms);
    int wait(const timespec& deadline);
    // Like wait, but returns 0 at once when keep_waiting is false. The flag is read under
    // the event's mutex, so a writer that clears it under the same mutex and then wakes
    // the event can never be missed.
    int wait_while(const std::atomic<bool>& keep_waiting, uint64_t ms);
    int wait_while(const std::atomic<bool>& keep_waiting, const timespec& deadline);
    bool is_set();

private:
    // Both expect the event's mutex held exactly once, so the condition wait releases it.
    int wait_locked(uint64_t ms);
    int wait_locked(const timespec& deadline);

    pthread_cond_t m_condition;
    bool m_broadcast;
    bool m_signaled;  // guarded by the event's mutex
};

}  // namespace utils
