#include "utils/mutex.h"
#include "utils/Assert.h"

namespace utils {

mutex::mutex() { mutex_init(PTHREAD_MUTEX_RECURSIVE); }

mutex::mutex(int type) { mutex_init(type); }

mutex::~mutex() {
    pthread_mutex_destroy(&m_mutex);
    pthread_mutexattr_destroy(&m_attributes);
}

void mutex::mutex_init(int type) {
    // A lock that cannot be created is a programming error: stop here.
    int ok = pthread_mutexattr_init(&m_attributes);
    UTILS_ASSERT(ok == 0, "ok == 0");
    ok = pthread_mutexattr_settype(&m_attributes, type);
    UTILS_ASSERT(ok == 0, "ok == 0");
    ok = pthread_mutex_init(&m_mutex, &m_attributes);
    UTILS_ASSERT(ok == 0, "ok == 0");
}

bool mutex::lock() { return pthread_mutex_lock(&m_mutex) == 0; }

int mutex::unlock() { return pthread_mutex_unlock(&m_mutex); }

bool mutex::trylock() { return pthread_mutex_trylock(&m_mutex) == 0; }

}  // namespace utils
