#include "rulo/semaphore.h"

#include "rulo/clock.h"
#include "rulo/exception.h"

#include <cerrno>
#include <ctime>

namespace rulo {

namespace {

constexpr int64_t max_step_ms = int64_t(24) * 3600 * 1000;

} // namespace

semaphore::semaphore(unsigned, unsigned initial) : m_count(initial) {
    if (pthread_mutex_init(&m_mutex, nullptr) != 0) throw exception::function("semaphore");
    pthread_condattr_t attr;
    bool ok = pthread_condattr_init(&attr) == 0;
    ok = ok && pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
         pthread_cond_init(&m_cond, &attr) == 0;
    pthread_condattr_destroy(&attr);
    if (!ok) {
        pthread_mutex_destroy(&m_mutex);
        throw exception::function("semaphore");
    }
}

semaphore::~semaphore() {
    pthread_cond_destroy(&m_cond);
    pthread_mutex_destroy(&m_mutex);
}

void semaphore::wait() {
    pthread_mutex_lock(&m_mutex);
    while (m_count <= 0) {
        if (pthread_cond_wait(&m_cond, &m_mutex) != 0) {
            pthread_mutex_unlock(&m_mutex);
            throw exception::function("wait");
        }
    }
    --m_count;
    pthread_mutex_unlock(&m_mutex);
}

void semaphore::post() {
    pthread_mutex_lock(&m_mutex);
    ++m_count;
    int rc = pthread_cond_signal(&m_cond);
    pthread_mutex_unlock(&m_mutex);
    if (rc != 0) throw exception::function("post");
}

bool semaphore::wait_ms(int64_t ms) {
    int64_t const deadline = add_saturated(relative_time(), ms);
    pthread_mutex_lock(&m_mutex);
    while (m_count <= 0) {
        int64_t remaining = add_saturated(deadline, -relative_time());
        if (remaining < 1) {
            pthread_mutex_unlock(&m_mutex);
            return false;
        }
        // The condition variable runs on CLOCK_MONOTONIC, like relative_time.
        // A wait for ever goes in steps of a day, which keeps the absolute
        // deadline within what every timespec and kernel accepts.
        timespec until;
        clock_monotonic(until);
        add_ms(until, remaining < max_step_ms ? remaining : max_step_ms);
        int rc = pthread_cond_timedwait(&m_cond, &m_mutex, &until);
        if (rc != 0 && rc != ETIMEDOUT) {
            pthread_mutex_unlock(&m_mutex);
            throw exception::function("cond_");
        }
    }
    --m_count;
    pthread_mutex_unlock(&m_mutex);
    return true;
}

bool semaphore::wait(long seconds) {
    return wait_ms(seconds_to_ms(seconds));
}

} // namespace rulo
