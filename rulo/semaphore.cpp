#include "rulo/semaphore.h"

#include "rulo/clock.h"
#include "rulo/exception.h"

#include <cerrno>
#include <climits>
#include <ctime>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace rulo {

namespace {

constexpr int64_t max_step_ms = int64_t(24) * 3600 * 1000;

} // namespace

semaphore::semaphore(unsigned, unsigned initial) {
    if (sem_init(&m_sem, 0, initial < SEM_VALUE_MAX ? initial : SEM_VALUE_MAX) != 0)
        throw exception::function("semaphore");
}

semaphore::~semaphore() {
    sem_destroy(&m_sem);
}

// The thread checker knows sem_post, sem_wait and sem_trywait but not
// sem_clockwait: every taken count pairs with its post here instead.
void semaphore::taken() {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(&m_sem);
#endif
}

void semaphore::wait() {
    while (sem_wait(&m_sem) != 0) {
        if (errno != EINTR) throw exception::function("wait");
    }
    taken();
}

void semaphore::post() {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(&m_sem);
#endif
    // At SEM_VALUE_MAX a waiter still finds a count: nothing is lost.
    if (sem_post(&m_sem) != 0 && errno != EOVERFLOW) throw exception::function("post");
}

bool semaphore::wait_ms(int64_t ms) {
    int64_t const deadline = add_saturated(relative_time(), ms);
    for (;;) {
        if (sem_trywait(&m_sem) == 0) break;
        if (errno != EAGAIN && errno != EINTR) throw exception::function("wait");
        int64_t remaining = add_saturated(deadline, -relative_time());
        if (remaining < 1) return false;
        // Absolute deadline on CLOCK_MONOTONIC, like relative_time. A wait
        // for ever goes in steps of a day, which keeps it within what every
        // timespec and kernel accepts.
        timespec until;
        clock_monotonic(until);
        add_ms(until, remaining < max_step_ms ? remaining : max_step_ms);
        if (sem_clockwait(&m_sem, CLOCK_MONOTONIC, &until) == 0) break;
        if (errno != ETIMEDOUT && errno != EINTR) throw exception::function("wait");
    }
    taken();
    return true;
}

bool semaphore::wait(long seconds) {
    return wait_ms(seconds_to_ms(seconds));
}

} // namespace rulo
