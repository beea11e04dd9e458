// A pool of worker threads that grows on demand up to max_threads and lets
// workers expire after idle_ms without work.
//
// rulo::thread_pool is a handle on shared pool data; the handle and every
// live worker each hold one counted reference, so the data outlives the
// handle while workers still run. execute() may be called from any thread.
// The pool lock guards the queue, the idle list and the counts; runnables run
// without any pool lock held.
//
// Work goes to one queue. A burst wakes the most recently idle worker first
// (the others stay asleep and expire), and a worker already on its way to
// the queue counts as idle, so a second runnable does not start a new thread
// while a wake is in flight. A worker that takes a runnable while more wait
// sends for another worker before it runs it: its runnable may block, and
// the pool never waits for a runnable to end before it gives the rest a
// thread (below max_threads).
#pragma once

#include "rulo/atomic.h"
#include "rulo/executor.h"
#include "rulo/thread.h"

#include <cstddef>
#include <cstdint>

namespace rulo {

class thread_pool {
public:
    // max_threads below 1 counts as 1: a pool without workers would never run
    // its queue. idle_ms is how long a worker waits for work before it ends;
    // large values (INT64_MAX) mean for ever.
    thread_pool(int max_threads, int64_t idle_ms, thread::priority prio);
    // Copies share the pool.
    thread_pool(thread_pool const&);
    thread_pool& operator=(thread_pool const&) = delete;
    ~thread_pool();

    // Takes r: queues it and, unless a worker is already on its way, wakes the
    // most recently idle worker or starts a new one. When a new worker cannot
    // be started the thread start exception propagates and r stays with the
    // caller (neither run nor deleted); the pool is left as it was. Takes the
    // pool lock; r never runs inside this call.
    void execute(runnable const& r);

    // An executor on this handle (executor_f: a refused runnable is deleted
    // there). The handle must outlive the executor's use.
    executor get_executor() { return executor_f<thread_pool>::make(this); }

    // Snapshots for statistics and tests; take the pool lock.
    int running() const;            // workers alive
    std::size_t idle_count() const; // workers waiting for work
    std::size_t queued() const;     // runnables no worker has taken yet
    int64_t started() const;        // workers started over the pool's life

private:
    struct data;
    class worker;
    // Wakes the most recently idle worker or starts a new one (below
    // max_threads). Caller holds the pool lock. Throws the thread start exception.
    static void wake_one(refc<data> const& pool);

    refc<data> m_data;
};

} // namespace rulo
