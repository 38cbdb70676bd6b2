#pragma once

#include <cstdint>
#include <ctime>

// Called on the timer thread when a timer expires.
class ITimerEventHandler {
public:
    virtual ~ITimerEventHandler() = default;
    virtual void on_timer_event(void* user) = 0;
};

class ITimer {
public:
    virtual ~ITimer() = default;
    // Returns the new timer's id. interval_ms must be at least 10. A non-zero start_at
    // (seconds since the epoch) is the first expiry.
    virtual uint32_t start_timer(uint64_t interval_ms, ITimerEventHandler& handler, void* user,
                                 bool periodic, time_t start_at) = 0;
    virtual bool delete_timer(uint32_t id) = 0;
    virtual bool restart_timer(uint32_t id) = 0;
};
