#include "utils/CTimer.h"
#include "utils/Assert.h"

#include <cerrno>
#include <limits>

#include "utils/CLogger.h"
#include "utils/MonotonicClock.h"

namespace utils {

namespace {

constexpr uint64_t kNanosPerSecond = 1000000000ULL;
constexpr uint64_t kNanosPerMilli = 1000000ULL;

std::atomic<uint32_t> g_next_timer_id{1};  // ids are never reused in the process


}  // namespace

CTimer& CTimer::instance() {
    static CTimer timer;
    return timer;
}

CTimer::CTimer() : CThread("Timer") {}

CTimer::~CTimer() {
    // Stop cooperatively while the store still exists; the thread body reads it.
    stop();
}

void CTimer::start() {
    if (!is_started())
        CThread::start(nullptr, 0, 0);
}

void CTimer::stop() {
    if (is_started() || is_running())
        CThread::stop(100);
    scoped_lock lock(*this);
    m_store.clear();
    m_firing_id = 0;
}

uint32_t CTimer::start_timer(uint64_t interval_ms, ITimerEventHandler& handler, void* user,
                             bool periodic, time_t start_at) {
    UTILS_ASSERT(interval_ms >= 10, "interval>=10");
    TimerEntry entry;
    entry.id = g_next_timer_id.fetch_add(1);
    entry.handler = &handler;
    entry.interval = interval_ms;
    entry.user = user;
    entry.periodic = periodic;
    if (start_at != 0) {
        // The first expiry is exactly start_at on the wall clock as it stands now; a later
        // step of the wall clock does not move the timer.
        entry.base = monotonic_at_wall_time(start_at);
        entry.multiplier = 0;
    } else {
        entry.base = monotonic_now();
        entry.multiplier = 1;
    }
    entry.multiplier_limit = std::numeric_limits<uint64_t>::max() / interval_ms;
    const uint32_t id = entry.id;
    schedule(entry);
    resume();
    return id;
}

void CTimer::schedule(TimerEntry entry) {
    uint64_t n = entry.multiplier;
    if (n > entry.multiplier_limit) {
        entry.base = monotonic_now();
        n = 1;
    }
    const uint64_t d = n * entry.interval;
    const uint64_t nanos = (d % 1000) * kNanosPerMilli + static_cast<uint64_t>(entry.base.tv_nsec);
    entry.expiry.tv_sec = entry.base.tv_sec + static_cast<time_t>(d / 1000 + nanos / kNanosPerSecond);
    entry.expiry.tv_nsec = static_cast<long>(nanos % kNanosPerSecond);
    entry.multiplier = n + 1;
    // The key counts seconds as an unsigned 32-bit number; equal expiries differ by id.
    const uint64_t expiry_ns = static_cast<uint64_t>(static_cast<uint32_t>(entry.expiry.tv_sec)) *
                                   kNanosPerSecond +
                               static_cast<uint64_t>(entry.expiry.tv_nsec);
    scoped_lock lock(*this);
    m_store[Key(expiry_ns, entry.id)] = entry;
}

bool CTimer::delete_timer(uint32_t id) {
    bool removed = false;
    {
        scoped_lock lock(*this);
        for (auto it = m_store.begin(); it != m_store.end(); ++it) {
            if (it->second.id == id) {
                m_store.erase(it);
                removed = true;
                break;
            }
        }
        // A timer whose handler runs now is out of the store; it must not come back.
        if (!removed && id != 0 && m_firing_id == id && !m_firing_deleted) {
            m_firing_deleted = true;
            removed = true;
        }
        if (removed)
            logger.info("Deleting Timer:%u", id);
    }
    resume();
    return removed;
}

bool CTimer::restart_timer(uint32_t id) {
    bool found = false;
    {
        scoped_lock lock(*this);
        for (auto it = m_store.begin(); it != m_store.end(); ++it) {
            if (it->second.id == id) {
                logger.info("Restarting Timer:%u", id);
                const TimerEntry copy = it->second;
                m_store.erase(it);
                schedule(copy);
                found = true;
                break;
            }
        }
        if (!found && id != 0 && m_firing_id == id && !m_firing_deleted) {
            logger.info("Restarting Timer:%u", id);
            m_firing_restarted = true;
            found = true;
        }
    }
    resume();
    return found;
}

void CTimer::run(void* /*arg*/) {
    int policy = 0;
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &policy, &param) == 0)
        set_priority(policy, sched_get_priority_max(policy));

    while (is_started()) {
        Key key;
        timespec expiry{};
        uint32_t id = 0;
        {
            scoped_lock lock(*this);
            if (!m_store.empty()) {
                key = m_store.begin()->first;
                expiry = m_store.begin()->second.expiry;
                id = m_store.begin()->second.id;
            }
        }
        if (id == 0) {
            suspend(event::INFINITE);
            continue;
        }
        if (suspend(expiry) == ETIMEDOUT)
            fire(key);
        else
            logger.info("Timer Interrupted:%u", id);
    }
}

void CTimer::fire(const Key& key) {
    TimerEntry entry;
    {
        // Taken out before the handler runs, so a timer deleted after its expiry but
        // before this point is never called.
        scoped_lock lock(*this);
        const auto it = m_store.find(key);
        if (it == m_store.end())
            return;
        entry = it->second;
        m_store.erase(it);
        m_firing_id = entry.id;
        m_firing_deleted = false;
        m_firing_restarted = false;
    }
    entry.handler->on_timer_event(entry.user);
    scoped_lock lock(*this);
    if (!m_firing_deleted && (entry.periodic || m_firing_restarted))
        schedule(entry);
    m_firing_id = 0;
}

}  // namespace utils
