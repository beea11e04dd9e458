#include "rulo/lock.h"

#include "rulo/exception.h"

#include <cstdlib>

namespace rulo {

pthread_mutexattr_t* recursive_attribute() {
    static pthread_mutexattr_t* attr = [] {
        static pthread_mutexattr_t a;
        if (pthread_mutexattr_init(&a) != 0 || pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE) != 0)
            abort();
        return &a;
    }();
    return attr;
}

rec_mutex::rec_mutex() {
    if (pthread_mutex_init(&m_mutex, recursive_attribute()) != 0) throw exception::function("rec_mutex");
}

rec_mutex::~rec_mutex() {
    pthread_mutex_destroy(&m_mutex);
}

void rec_mutex::lock() {
    if (pthread_mutex_lock(&m_mutex) != 0) throw exception::function("lock");
}

void rec_mutex::unlock() {
    if (pthread_mutex_unlock(&m_mutex) != 0) throw exception::function("unlock");
}

rec_lock::rec_lock(rec_mutex& m) : m_mutex(&m) {
    m_mutex->lock();
}

rec_lock::rec_lock(rec_mutex* m) : m_mutex(m) {
    if (m_mutex) m_mutex->lock();
}

rec_lock::~rec_lock() {
    if (!m_mutex) return;
    try {
        m_mutex->unlock();
    } catch (...) {
    }
}

} // namespace rulo

slock::slock(pthread_mutex_t& m) : m_mutex(&m) {
    if (pthread_mutex_lock(m_mutex) != 0) throw rulo::exception::function("slock");
}

slock::~slock() {
    pthread_mutex_unlock(m_mutex);
}
