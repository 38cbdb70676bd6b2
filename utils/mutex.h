#pragma once

#include <pthread.h>

namespace utils {

// A pthread mutex, recursive by default. Creation failures stop the program.
class mutex {
public:
    mutex();
    explicit mutex(int type);
    virtual ~mutex();
    mutex(const mutex&) = delete;
    mutex& operator=(const mutex&) = delete;

    bool lock();
    int unlock();
    bool trylock();

    // For condition waits of derived classes.
    pthread_mutex_t* native_handle() { return &m_mutex; }

protected:
    void mutex_init(int type);

private:
    pthread_mutex_t m_mutex;
    pthread_mutexattr_t m_attributes;
};

// Scoped lock for utils::mutex (and anything derived from it).
class scoped_lock final {
public:
    explicit scoped_lock(mutex& m) : m_mutex(m) { m_mutex.lock(); }
    ~scoped_lock() { m_mutex.unlock(); }
    scoped_lock(const scoped_lock&) = delete;
    scoped_lock& operator=(const scoped_lock&) = delete;

private:
    mutex& m_mutex;
};

}  // namespace utils
