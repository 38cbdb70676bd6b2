#include "utils/event.h"

#include <cerrno>

#include "utils/CLogger.h"
#include "utils/MonotonicClock.h"

namespace utils {

event::event(bool broadcast, bool signaled) : m_broadcast(broadcast), m_signaled(signaled) {
    pthread_condattr_t attributes;
    int rc = pthread_condattr_init(&attributes);
    if (rc == 0) {
        rc = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
        if (rc == 0)
            rc = pthread_cond_init(&m_condition, &attributes);
        pthread_condattr_destroy(&attributes);
    }
    if (rc != 0)
        logger.error("Event could not be initialized\n");
}

event::~event() { pthread_cond_destroy(&m_condition); }

void event::set() {
    scoped_lock lock(*this);
    m_signaled = true;
    if (m_broadcast)
        pthread_cond_broadcast(&m_condition);
    else
        pthread_cond_signal(&m_condition);
}

void event::notify() {
    scoped_lock lock(*this);
    if (m_signaled)
        return;
    if (m_broadcast)
        pthread_cond_broadcast(&m_condition);
    else
        pthread_cond_signal(&m_condition);
}

void event::reset() {
    scoped_lock lock(*this);
    m_signaled = false;
}

bool event::is_set() {
    scoped_lock lock(*this);
    return m_signaled;
}

int event::wait(uint64_t ms) {
    scoped_lock lock(*this);
    return wait_locked(ms);
}

int event::wait(const timespec& deadline) {
    scoped_lock lock(*this);
    return wait_locked(deadline);
}

int event::wait_while(const std::atomic<bool>& keep_waiting, uint64_t ms) {
    scoped_lock lock(*this);
    if (!keep_waiting)
        return 0;
    return wait_locked(ms);
}

int event::wait_while(const std::atomic<bool>& keep_waiting, const timespec& deadline) {
    scoped_lock lock(*this);
    if (!keep_waiting)
        return 0;
    return wait_locked(deadline);
}

int event::wait_locked(uint64_t ms) {
    if (m_signaled) {
        m_signaled = false;
        return 0;
    }
    if (ms == 0)
        return ETIMEDOUT;
    if (ms == INFINITE) {
        const int result = pthread_cond_wait(&m_condition, native_handle());
        if (result == 0 && !m_broadcast)
            m_signaled = false;
        return result;
    }
    return wait_locked(monotonic_after(ms));
}

int event::wait_locked(const timespec& deadline) {
    if (m_signaled) {
        m_signaled = false;
        return 0;
    }
    const int result = pthread_cond_timedwait(&m_condition, native_handle(), &deadline);
    if (result != 0)
        return result;
    // A spurious wake-up counts as woken, as every caller re-checks its own condition.
    if (!m_broadcast)
        m_signaled = false;
    return 0;
}

}  // namespace utils
