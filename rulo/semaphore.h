// Counting semaphore with millisecond time-outs.
//
// Shared by any threads, on the system's unnamed semaphore. post() needs no
// lock of ours and wakes a sleeper only when one sleeps, so the woken thread
// does not run into a mutex the poster still holds; and a waiter may destroy
// the semaphore as soon as its wait returned, while the poster is still
// inside post(). Time-outs are measured on the monotonic clock, so a jump of
// the wall clock neither lengthens nor shortens a wait.
#pragma once

#include <cstdint>
#include <semaphore.h>

namespace rulo {

class semaphore {
public:
    // max is accepted and not enforced: posts are only capped by the
    // system's SEM_VALUE_MAX, past which the count stays where it is.
    semaphore(unsigned max, unsigned initial);
    virtual ~semaphore();
    semaphore(semaphore const&) = delete;
    semaphore& operator=(semaphore const&) = delete;

    virtual void wait();
    virtual void post();
    // Blocks up to ms milliseconds; true when a count was taken. The
    // deadline saturates: INT64_MAX (or LONG_MAX seconds) waits for ever.
    virtual bool wait_ms(int64_t ms);
    virtual bool wait(long seconds);

private:
    void taken();

    sem_t m_sem;
};

} // namespace rulo
