#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <utility>

#include "utils/CThread.h"
#include "utils/ITimer.h"
#include "utils/mutex.h"

namespace utils {

// The process-wide timer service: one thread ("Timer") runs every timer's handler.
// Periodic timers expire on a fixed grid (base + n * interval) and do not drift. Expiries
// are CLOCK_MONOTONIC times: a step of the wall clock moves no timer.
class CTimer final : public CThread, public ITimer, public mutex {
public:
    static CTimer& instance();

    void start();
    void stop();

    uint32_t start_timer(uint64_t interval_ms, ITimerEventHandler& handler, void* user,
                         bool periodic, time_t start_at) override;
    bool delete_timer(uint32_t id) override;
    bool restart_timer(uint32_t id) override;

    ~CTimer() override;

private:
    struct TimerEntry {
        timespec expiry{};
        timespec base{};
        ITimerEventHandler* handler = nullptr;
        uint64_t interval = 0;
        void* user = nullptr;
        bool periodic = false;
        uint32_t id = 0;
        uint64_t multiplier = 0;
        uint64_t multiplier_limit = 0;
    };
    // Expiry in ns of the monotonic clock, then the id: equal expiries are kept apart, earliest id first.
    using Key = std::pair<uint64_t, uint32_t>;

    CTimer();
    void run(void* arg) override;
    // Computes the entry's next grid point and stores it; takes the store lock.
    void schedule(TimerEntry entry);
    // Removes the due entry, runs its handler without the lock, reschedules it if wanted.
    void fire(const Key& key);

    std::map<Key, TimerEntry> m_store;  // guarded by the timer's own mutex
    // The timer whose handler runs right now (0: none) and what was asked of it meanwhile;
    // guarded by the timer's own mutex.
    uint32_t m_firing_id = 0;
    bool m_firing_deleted = false;
    bool m_firing_restarted = false;
};

}  // namespace utils
