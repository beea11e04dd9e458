#include "rulo/thread_pool.h"

#include <memory>

namespace rulo {

thread_pool::data::~data() {
    for (runnable const& r : queue) {
        try {
            r.del(r.arg);
        } catch (...) {
        }
    }
}

thread_pool::thread_pool(int max_threads, int64_t idle_ms, thread::priority prio) {
    m_data->max_threads = max_threads < 1 ? 1 : max_threads;
    m_data->idle_ms = idle_ms;
    m_data->prio = prio;
}

void thread_pool::execute(runnable const& r) {
    data& d = *m_data;
    rec_lock lock(d.lock);
    if (!d.idle.empty()) {
        thread_pool_thread* worker = *d.idle.begin();
        d.idle.erase(d.idle.begin());
        worker->push(r);
        return;
    }
    if (d.running < d.max_threads) {
        // Until detach succeeds the worker is ours, and r with it stays the caller's.
        auto worker = std::make_unique<thread_pool_thread>(m_data, r);
        worker->detach(d.prio);
        // The worker deletes itself; it cannot end before we release the pool lock.
        worker.release();
        ++d.running;
        return;
    }
    d.queue.push_back(r);
}

int thread_pool::running() const {
    rec_lock lock(m_data->lock);
    return m_data->running;
}

std::size_t thread_pool::idle_count() const {
    rec_lock lock(m_data->lock);
    return m_data->idle.size();
}

std::size_t thread_pool::queued() const {
    rec_lock lock(m_data->lock);
    return m_data->queue.size();
}

thread_pool_thread::thread_pool_thread(refc<thread_pool::data> const& pool, runnable const& first)
    : thread(true, std::string(), 0), m_pool(pool), m_work(1, 0), m_current(first) {}

thread_pool_thread::~thread_pool_thread() {
    synchronize();
}

void thread_pool_thread::push(runnable const& r) {
    m_current = r;
    try {
        m_work.post();
    } catch (...) {
        // The worker still finds current set when its idle wait ends; the
        // runnable is the worker's now, so the failure must not reach execute().
    }
}

void thread_pool_thread::run() {
    thread_pool::data& d = *m_pool;
    for (;;) {
        m_current.run_and_delete();
        {
            rec_lock lock(d.lock);
            if (!d.queue.empty()) {
                m_current = d.queue.front();
                d.queue.pop_front();
                continue;
            }
            m_current = runnable{};
            d.idle.insert(this);
        }
        bool signalled = false;
        try {
            signalled = m_work.wait_ms(d.idle_ms);
        } catch (...) {
        }
        // The hand-over sets current under this lock, so work handed over
        // just after the wait timed out is seen here and still run.
        rec_lock lock(d.lock);
        if (!m_current.run) {
            d.idle.erase(this);
            --d.running;
            return;
        }
        if (!signalled) {
            // Take the late hand-over's post, so that the next idle wait is not cut short.
            try {
                m_work.wait_ms(0);
            } catch (...) {
            }
        }
    }
}

} // namespace rulo
