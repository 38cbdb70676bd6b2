#include "utils/CThread.h"
#include "utils/Assert.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "utils/CLogger.h"
#include "utils/MonotonicClock.h"

namespace utils {

namespace {

// The kernel keeps 15 characters and a terminating zero of a thread name.
constexpr size_t kSystemNameLength = 15;

timespec deadline_after(int timeout_ms) {
    return monotonic_after(timeout_ms > 0 ? static_cast<uint64_t>(timeout_ms) : 0);
}

}  // namespace

// Runs the worker's last steps on every way out of entry_point, cancellation included,
// so that the owner always learns when the worker no longer touches the object.
class CThread::ExitGuard final {
public:
    explicit ExitGuard(CThread& thread) : m_thread(thread) {}
    ExitGuard(const ExitGuard&) = delete;
    ExitGuard& operator=(const ExitGuard&) = delete;
    void body_returned() { m_normal = true; }

    ~ExitGuard() {
        CThread& t = m_thread;
        t.m_running = false;
        t.m_started = false;
        if (m_normal)
            logger.notice("Thread %s ( %lu ) exit normally", t.m_name.c_str(), t.m_tid.load());
        // Last access: the owner may destroy the object as soon as the event's lock is free.
        scoped_lock lock(t.m_event);
        t.m_thread_id = 0;
        t.m_alive = false;
        t.m_event.set();
    }

private:
    CThread& m_thread;
    bool m_normal = false;
};

CThread::CThread() : m_name("--") {}

CThread::CThread(const std::string& name) : m_name(name) {}

CThread::~CThread() {
    if (m_running) {
        logger.error("~CThread(): Thread %s( %lu ) Still active. killing it.", m_name.c_str(),
                     m_tid.load());
        cancel_and_wait(false);
    } else if (m_alive) {
        wait_for_exit(CANCEL_GRACE_MS);
    }
    // A worker that ended on its own, with nobody waiting for it, may still be inside its
    // last access (it clears m_alive and signals under the event's lock): taking the lock
    // once makes sure it has let go before the event is destroyed.
    scoped_lock lock(m_event);
}

int CThread::start(void* arg, int policy, int priority) {
    m_policy = policy;
    m_priority = priority;
    // A body that returned on its own may still be finishing its last steps.
    if (m_alive && !m_running)
        wait_for_exit(CANCEL_GRACE_MS);
    UTILS_ASSERT(m_thread_id == 0, "m_thread_id == 0");
    m_started = true;
    m_arg = arg;

    int status = pthread_attr_init(&m_attr);
    UTILS_ASSERT(0 == status, "0 == status");
    status = pthread_attr_setdetachstate(&m_attr, PTHREAD_CREATE_DETACHED);
    UTILS_ASSERT(0 == status, "0 == status");
    m_event.reset();
    m_alive = true;
    m_held_at_start = true;
    pthread_t handle = 0;
    status = pthread_create(&handle, &m_attr, &CThread::entry_point, this);
    pthread_attr_destroy(&m_attr);
    UTILS_ASSERT(handle, "m_thread_id");
    if (status != 0) {
        m_alive = false;
        m_started = false;
        return status;
    }
    m_thread_id = handle;
    if (!m_name.empty()) {
        const std::string system_name = m_name.substr(0, kSystemNameLength);
        pthread_setname_np(handle, system_name.c_str());
    }
    {
        // Hand-shake: the new thread waits for this before running its body. The flag,
        // not the event's state, releases it, so an early stop() cannot swallow it, and
        // no wake-up is left pending for the body's first suspend().
        scoped_lock lock(m_event);
        m_held_at_start = false;
        m_event.notify();
    }
    return status;
}

void* CThread::entry_point(void* thread) {
    UTILS_ASSERT(thread, "pt");
    CThread& t = *static_cast<CThread*>(thread);
    t.m_tid = static_cast<unsigned long>(syscall(SYS_gettid));
    sched_param param{};
    param.sched_priority = t.m_priority;
    pthread_setschedparam(pthread_self(), t.m_policy, &param);  // failure is harmless
    while (t.m_held_at_start)
        t.m_event.wait_while(t.m_held_at_start, event::INFINITE);

    ExitGuard guard(t);
    logger.notice("Thread '%s' ( %lu ) started", t.m_name.c_str(), t.m_tid.load());
    t.on_start();
    t.m_running = true;
    t.run(t.m_arg);
    guard.body_returned();
    return nullptr;
}

void CThread::run(void* /*arg*/) {
    while (is_started())
        suspend(event::INFINITE);
}

void CThread::stop(int timeout_ms) {
    {
        // Cleared under the event's lock so a body between its check and its sleep
        // cannot miss the wake-up below.
        scoped_lock lock(m_event);
        m_started = false;
    }
    if (m_alive && pthread_equal(m_thread_id, pthread_self()) != 0)
        return;
    if (!m_running) {
        if (m_alive)
            wait_for_exit(CANCEL_GRACE_MS);
        m_event.reset();
        return;
    }
    m_event.notify();
    m_event.reset();
    sched_yield();
    wait_for_exit(timeout_ms);
    if (m_alive)
        cancel_and_wait(true);
    m_event.reset();
}

void CThread::wait_for_exit(int timeout_ms) {
    const timespec deadline = deadline_after(timeout_ms);
    // Re-check after every wake-up: a spurious one must not count as the body's end.
    while (m_alive) {
        if (m_event.wait_while(m_alive, deadline) == ETIMEDOUT)
            break;
    }
}

void CThread::cancel_and_wait(bool report_killed) {
    {
        scoped_lock lock(m_event);
        if (m_alive)
            pthread_cancel(m_thread_id);
    }
    wait_for_exit(CANCEL_GRACE_MS);
    if (report_killed)
        logger.error("Thread %s( %lu ) killed", m_name.c_str(), m_tid.load());
    m_running = false;
    m_tid = 0;
}

int CThread::suspend(uint64_t ms) const {
    if (!m_started)
        return 0;
    UTILS_ASSERT(pthread_equal(m_thread_id, pthread_self()) != 0, "pthread_equal(m_thread_id,pthread_self()) != 0");
    return m_event.wait_while(m_started, ms);
}

int CThread::suspend(const timespec& deadline) const {
    if (!m_started)
        return 0;
    UTILS_ASSERT(pthread_equal(m_thread_id, pthread_self()) != 0, "pthread_equal(m_thread_id,pthread_self()) != 0");
    return m_event.wait_while(m_started, deadline);
}

void CThread::resume() { m_event.set(); }

bool CThread::set_priority(int policy, int priority) {
    const pthread_t handle = m_thread_id;
    if (handle == 0)
        return false;
    sched_param param{};
    param.sched_priority = priority;
    if (pthread_setschedparam(handle, policy, &param) != 0)
        return false;
    m_policy = policy;
    m_priority = priority;
    return true;
}

}  // namespace utils
