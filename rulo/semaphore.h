// Counting semaphore with millisecond time-outs.
//
// Shared by any threads; its mutex is plain (not recursive) and held only
// inside its own operations. Time-outs are measured on the monotonic clock,
// so a jump of the wall clock neither lengthens nor shortens a wait.
#pragma once

#include <cstdint>
#include <pthread.h>

namespace rulo {

class semaphore {
public:
    // max is accepted and not enforced: posts are never capped.
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
    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
    int64_t m_count;
};

} // namespace rulo
