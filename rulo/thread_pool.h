// A pool of worker threads that grows on demand up to max_threads and lets
// workers expire after idle_ms without work.
//
// rulo::thread_pool is a handle on the shared pool data; the handle and every
// live worker each hold one counted reference, so the data outlives the
// handle while workers still run. execute() may be called from any thread;
// the pool lock (data::lock) guards the queue, the idle set and the running
// count, and work is handed to an idle worker under it. Runnables run without
// any pool lock held.
#pragma once

#include "rulo/atomic.h"
#include "rulo/executor.h"
#include "rulo/lock.h"
#include "rulo/semaphore.h"
#include "rulo/thread.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>

namespace rulo {

class thread_pool_thread;

class thread_pool {
public:
    // The state shared by the handle and the workers; every field is guarded by lock.
    struct data {
        data() = default;
        data(data const&) = delete;
        data& operator=(data const&) = delete;
        // Work still queued when the last reference goes is deleted unrun.
        ~data();

        rec_mutex lock;
        std::deque<runnable> queue;
        std::set<thread_pool_thread*> idle; // waiting for a hand-over, ordered by address
        int running = 0;                    // workers alive
        int max_threads = 1;
        int64_t idle_ms = 0;
        thread::priority prio = thread::normal;
    };

    // max_threads below 1 counts as 1: a pool without workers would never run its queue.
    thread_pool(int max_threads, int64_t idle_ms, thread::priority prio);
    // Copies share the pool.
    thread_pool(thread_pool const&) = default;
    thread_pool& operator=(thread_pool const&) = delete;

    // Takes r: hands it to an idle worker, starts a new worker for it, or
    // queues it when max_threads are busy. When a new worker cannot be started
    // the thread start exception propagates and r stays with the caller
    // (neither run nor deleted); the pool is left as it was. Takes the pool lock.
    void execute(runnable const& r);

    // An executor on this handle (executor_f: a refused runnable is deleted
    // there). The handle must outlive the executor's use.
    executor get_executor() { return executor_f<thread_pool>::make(this); }

    // Snapshots for statistics and tests; take the pool lock.
    int running() const;
    std::size_t idle_count() const;
    std::size_t queued() const;

private:
    refc<data> m_data;
};

// One worker of a thread_pool: a self-deleting thread that runs its current
// runnable, then the queue, then waits up to idle_ms for a hand-over.
// push() is called only by thread_pool::execute under the pool lock; the
// worker reads current under the same lock after every wait.
class thread_pool_thread : public thread {
public:
    thread_pool_thread(refc<thread_pool::data> const& pool, runnable const& first);
    ~thread_pool_thread() override;

    // Hand-over: current = r, then wake the worker. Caller holds the pool lock.
    void push(runnable const& r);

protected:
    void run() override;

private:
    refc<thread_pool::data> m_pool;
    semaphore m_work;
    runnable m_current;
};

} // namespace rulo
