#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

#include "utils/event.h"

namespace utils {

// A detached, named worker thread with a cooperative stop protocol: the body loops
// while is_started() and sleeps with suspend(); stop() wakes it and waits a grace
// time before cancelling it.
class CThread {
public:
    CThread();
    explicit CThread(const std::string& name);
    // A derived class whose run() uses its own members must stop() in its destructor.
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Owner thread only. Returns the pthread_create status (0).
    int start(void* arg = nullptr, int policy = 0, int priority = 0);
    // Owner thread only: clear the started flag, wake the body, cancel it after timeout_ms.
    void stop(int timeout_ms);
    // Worker thread only: sleep until resumed, stopped or the time runs out (deadline: a
    // CLOCK_MONOTONIC time).
    int suspend(uint64_t ms) const;
    int suspend(const timespec& deadline) const;
    void resume();
    bool set_priority(int policy, int priority);

    bool is_started() const { return m_started; }
    bool is_running() const { return m_running; }
    // True from start() until the worker no longer touches this object, also after a
    // stop() whose cancellation did not end it within the grace time.
    bool is_alive() const { return m_alive; }
    const std::string& name() const { return m_name; }
    unsigned long tid() const { return m_tid; }

    static void* entry_point(void* thread);

    // How long stop() and the destructor wait for a cancelled thread to unwind.
    static constexpr int CANCEL_GRACE_MS = 1000;

protected:
    virtual void on_start() {}
    virtual void run(void* arg);

private:
    class ExitGuard;
    void wait_for_exit(int timeout_ms);
    void cancel_and_wait(bool report_killed);

    std::atomic<bool> m_started{false};
    void* m_arg = nullptr;
    std::atomic<bool> m_running{false};
    // Set from start until the worker's last access to this object (written under m_event).
    std::atomic<bool> m_alive{false};
    // Set until start() releases the new thread (written under m_event).
    std::atomic<bool> m_held_at_start{false};
    mutable event m_event{false, false};
    pthread_attr_t m_attr;  // only alive inside start()
    std::atomic<pthread_t> m_thread_id{0};
    std::atomic<unsigned long> m_tid{0};
    std::string m_name;
    int m_policy = 0;
    int m_priority = 0;
};

}  // namespace utils
