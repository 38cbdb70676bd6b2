#pragma once

#include <cstdint>
#include <ctime>

#include "utils/mutex.h"

namespace utils {

// A flag with a condition variable. Every operation holds the event's own mutex.
// Deadlines are wall-clock (CLOCK_REALTIME) times.
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
    bool is_set();

private:
    pthread_cond_t m_condition;
    bool m_broadcast;
    bool m_signaled;  // guarded by the event's mutex
};

}  // namespace utils
