#include "rulo/thread_pool.h"

#include "rulo/lock.h"
#include "rulo/semaphore.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

namespace rulo {

// The state shared by the handle and the workers; every field is guarded by lock.
struct thread_pool::data {
    data() = default;
    data(data const&) = delete;
    data& operator=(data const&) = delete;
    // Work still queued when the last reference goes is deleted unrun.
    ~data() {
        for (runnable const& r : queue) {
            try {
                r.del(r.arg);
            } catch (...) {
            }
        }
    }

    rec_mutex lock;
    std::deque<runnable> queue;
    std::vector<worker*> idle; // asleep, waiting for a wake; the back went idle last
    int running = 0;           // workers alive
    int waking = 0;            // woken or starting, and not yet at the queue
    int max_threads = 1;
    int64_t idle_ms = 0;
    thread::priority prio = thread::normal;
    int64_t started = 0;
};

// One worker: a self-deleting thread that takes runnables off the queue until
// it is empty, then sleeps on its own semaphore up to idle_ms. `woken` is set
// under the pool lock by whoever wakes it, so a wake that comes just after
// its wait timed out is still seen, and the worker stays.
class thread_pool::worker : public thread {
public:
    explicit worker(refc<data> const& pool) : thread(true, std::string(), 0), m_pool(pool), m_work(1, 0) {}
    ~worker() override { synchronize(); }

    // Caller holds the pool lock and has taken this worker off the idle list.
    void wake() {
        m_woken = true;
        try {
            m_work.post();
        } catch (...) {
            // The worker finds m_woken set when its idle wait ends.
        }
    }

protected:
    void run() override;

private:
    refc<data> m_pool;
    semaphore m_work;
    bool m_woken = false;
};

void thread_pool::wake_one(refc<data> const& pool) {
    data& d = *pool;
    if (!d.idle.empty()) {
        // The most recently idle worker: its stack is still warm, and the
        // others keep sleeping towards their time-out.
        worker* w = d.idle.back();
        d.idle.pop_back();
        ++d.waking;
        w->wake();
        return;
    }
    if (d.running >= d.max_threads) return; // a busy worker takes the queue when it is done
    // Until detach succeeds the worker is ours.
    auto w = std::make_unique<worker>(pool);
    w->detach(d.prio);
    // Self-deleting from here on; it cannot look at the pool before we release the lock.
    w.release();
    ++d.running;
    ++d.waking;
    ++d.started;
}

thread_pool::thread_pool(int max_threads, int64_t idle_ms, thread::priority prio) {
    m_data->max_threads = max_threads < 1 ? 1 : max_threads;
    m_data->idle_ms = idle_ms;
    m_data->prio = prio;
}

thread_pool::thread_pool(thread_pool const&) = default;
thread_pool::~thread_pool() = default;

void thread_pool::execute(runnable const& r) {
    data& d = *m_data;
    rec_lock lock(d.lock);
    // A worker on its way takes r (or leaves it to the one it sends for).
    if (d.waking == 0) wake_one(m_data);
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

int64_t thread_pool::started() const {
    rec_lock lock(m_data->lock);
    return m_data->started;
}

void thread_pool::worker::run() {
    data& d = *m_pool;
    bool on_the_way = true; // started or woken: counted in d.waking
    for (;;) {
        runnable current;
        {
            rec_lock lock(d.lock);
            if (on_the_way) {
                on_the_way = false;
                --d.waking;
            }
            if (!d.queue.empty()) {
                current = d.queue.front();
                d.queue.pop_front();
                // current may block: what is left needs a worker of its own.
                if (!d.queue.empty() && d.waking == 0) {
                    try {
                        wake_one(m_pool);
                    } catch (...) {
                        // No thread to be had: the rest waits for a worker to come back.
                    }
                }
            } else {
                d.idle.push_back(this);
            }
        }
        if (current.run) {
            current.run_and_delete();
            continue;
        }
        bool signalled = false;
        try {
            signalled = m_work.wait_ms(d.idle_ms);
        } catch (...) {
        }
        // A wake sets m_woken under this lock, so one that comes just after
        // the wait timed out is seen here.
        rec_lock lock(d.lock);
        if (!m_woken) {
            d.idle.erase(std::find(d.idle.begin(), d.idle.end(), this));
            --d.running;
            return;
        }
        m_woken = false;
        on_the_way = true;
        if (!signalled) {
            // Take the late wake's post, so that the next idle wait is not cut short.
            try {
                m_work.wait_ms(0);
            } catch (...) {
            }
        }
    }
}

} // namespace rulo
