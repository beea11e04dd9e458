#include "rulo/scheduler.h"

#include "rulo/clock.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/semaphore.h"
#include "rulo/thread.h"
#include "rulo/thread_pool.h"

#include <climits>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace rulo {

namespace {

// The longest single wait of the scheduler thread: a wake that could not be
// posted (post_wake) is noticed after this at the latest.
constexpr int64_t max_wait_ms = 60000;

struct task_record {
    int64_t time = 0; // the argument: absolute due time (mode 0) or period
    int mode = 0;
    executor exec;
    runnable task;
    bool running = false;
    bool cancelled = false;
    int64_t due = 0; // meaningful while queued
};

// The scheduler's process-wide state; every field except wake (a semaphore,
// safe on its own) and pool (a handle whose own lock guards it) is guarded by
// task_lock(). Created on first use and never freed.
struct scheduler_state {
    int64_t counter = 0; // last id handed out
    std::map<int64_t, task_record> tasks;
    std::map<int64_t, std::set<int64_t>> due; // due time -> ids due then
    semaphore wake{1, 0};
    thread_pool pool{INT_MAX, 5000, thread::normal};
    bool thread_running = false; // a stask_thread exists and will look at `due` again
};

scheduler_state& state() {
    static scheduler_state* s = new scheduler_state;
    return *s;
}

void post_wake() {
    try {
        state().wake.post();
    } catch (...) {
        // The scheduler thread's wait is bounded; it finds the change then.
    }
}

void handle_stasks();

// The scheduler thread: exists while some task is queued. Self-deleting.
class stask_thread : public thread {
public:
    stask_thread() : thread(true, std::string(), 0) {}
    ~stask_thread() override { synchronize(); }

protected:
    void run() override {
        try {
            handle_stasks();
        } catch (...) {
            // Let the next schedule start a fresh thread rather than trust a
            // running flag nobody will clear.
            rec_lock lock(task_lock());
            state().thread_running = false;
        }
    }
};

// Starts the scheduler thread unless one runs. The running flag is set only
// once the thread exists, so a failed start leaves the next call to try
// again. Throws the thread start exception. Caller holds the task lock.
void ensure_scheduler_thread(scheduler_state& s) {
    if (s.thread_running) return;
    auto t = std::make_unique<stask_thread>();
    t->detach();
    // Self-deleting from here on; it waits for the task lock we hold before
    // it looks at anything.
    t.release();
    s.thread_running = true;
}

// Caller holds the task lock.
void enqueue(scheduler_state& s, int64_t id, task_record& t, int64_t due) {
    t.due = due;
    s.due[due].insert(id);
}

// Caller holds the task lock.
void unqueue(scheduler_state& s, int64_t id, task_record const& t) {
    auto it = s.due.find(t.due);
    if (it == s.due.end()) return;
    it->second.erase(id);
    if (it->second.empty()) s.due.erase(it);
}

void call_del(runnable const& r) {
    try {
        r.del(r.arg);
    } catch (...) {
    }
}

// Ends one round of task `id`: erases it when it ran once or was cancelled
// (calling its del after the task lock is released), else queues it again
// one period after now. Takes the task lock.
void finish_task(int64_t id) {
    runnable ended;
    {
        rec_lock lock(task_lock());
        scheduler_state& s = state();
        auto it = s.tasks.find(id);
        if (it == s.tasks.end()) return;
        task_record& t = it->second;
        if (t.cancelled || t.mode == schedule_at) {
            ended = t.task;
            s.tasks.erase(it);
        } else {
            t.running = false;
            enqueue(s, id, t, add_saturated(relative_time(), t.time));
            try {
                ensure_scheduler_thread(s);
            } catch (std::exception const& e) {
                // The task stays queued (and cancellable); the next schedule
                // starts the thread again and finds it.
                fmt_dbg("scheduler")
                    .fmt_verbose("could not restart the scheduler thread: %1%", std::string(e.what()));
            }
        }
    }
    if (ended.del) call_del(ended);
}

void run_and_finish(int64_t id, runnable const& r) {
    try {
        r.run(r.arg);
    } catch (...) {
    }
    finish_task(id);
}

// What the scheduler hands to a task's executor. When the executor refuses
// it (deletes it unrun) the round still ends, so a one-shot task is deleted
// and a periodic one queued again, instead of staying "running" for ever.
class stask_run_task {
public:
    stask_run_task(int64_t id, runnable const& r) : m_id(id), m_task(r) {}
    stask_run_task(stask_run_task const&) = delete;
    stask_run_task& operator=(stask_run_task const&) = delete;
    ~stask_run_task() {
        if (m_ran) return;
        try {
            finish_task(m_id);
        } catch (...) {
        }
        post_wake();
    }

    void run() {
        m_ran = true;
        run_and_finish(m_id, m_task);
        post_wake();
    }

private:
    int64_t m_id;
    runnable m_task;
    bool m_ran = false;
};

struct collected_task {
    int64_t id;
    executor exec;
    runnable task;
};

void hand_out(collected_task const& c) {
    if (!c.exec.fn) {
        run_and_finish(c.id, c.task);
        return;
    }
    stask_run_task* t = nullptr;
    try {
        t = new stask_run_task(c.id, c.task);
    } catch (...) {
        finish_task(c.id);
        return;
    }
    try {
        c.exec.execute(runnable_f<stask_run_task>::make(t));
    } catch (...) {
        // The runnable belongs to the executor once handed over, whatever it threw.
    }
}

void handle_stasks() {
    scheduler_state& s = state();
    for (;;) {
        std::vector<collected_task> batch;
        int64_t wait_time = 0;
        {
            rec_lock lock(task_lock());
            if (s.due.empty()) {
                s.thread_running = false;
                return;
            }
            int64_t now = relative_time();
            auto first = s.due.begin();
            if (first->first <= now) {
                // Every id of this one due time, in id order (the set's order).
                for (int64_t id : first->second) {
                    auto it = s.tasks.find(id);
                    if (it == s.tasks.end()) continue;
                    it->second.running = true;
                    batch.push_back(collected_task{id, it->second.exec, it->second.task});
                }
                s.due.erase(first);
            } else {
                wait_time = first->first - now;
            }
        }
        if (batch.empty()) {
            try {
                s.wake.wait_ms(wait_time < max_wait_ms ? wait_time : max_wait_ms);
            } catch (...) {
            }
            continue;
        }
        for (collected_task const& c : batch) {
            try {
                hand_out(c);
            } catch (...) {
            }
        }
    }
}

} // namespace

rec_mutex& task_lock() {
    // Made at start-up (or by whoever comes first) and never freed.
    static rec_mutex* m = new rec_mutex;
    return *m;
}

executor scheduler_pool() {
    rec_lock lock(task_lock());
    return state().pool.get_executor();
}

void schedule_task(int64_t* id_out, int64_t time, schedule_task_time mode, bool use_pool, runnable const& r) {
    if (x_schedule_task2) {
        x_schedule_task2(id_out, time, mode, use_pool ? 1 : 0, r.run, r.del, r.arg);
        return;
    }
    if (x_schedule_task) {
        int64_t id = x_schedule_task(time, mode, use_pool ? 1 : 0, r.run, r.del, r.arg);
        if (id_out) *id_out = id;
        return;
    }
    schedule_task_executor(id_out, time, mode, use_pool ? scheduler_pool() : executor{}, r);
}

void schedule_task_executor(int64_t* id_out, int64_t time, schedule_task_time mode, executor const& e,
                            runnable const& r) {
    if (x_schedule_task_executor2) {
        x_schedule_task_executor2(id_out, time, mode, e.fn, e.ctx, r.run, r.del, r.arg);
        return;
    }
    if (x_schedule_task_executor) {
        int64_t id = x_schedule_task_executor(time, mode, e.fn, e.ctx, r.run, r.del, r.arg);
        if (id_out) *id_out = id;
        return;
    }
    {
        rec_lock lock(task_lock());
        scheduler_state& s = state();
        int64_t id = ++s.counter;
        task_record& t = s.tasks[id];
        t.time = time;
        t.mode = mode;
        t.exec = e;
        t.task = r;
        if (mode == schedule_at || mode == schedule_every || mode == schedule_now_and_every) {
            try {
                ensure_scheduler_thread(s);
            } catch (...) {
                // Nothing will run it: the task stays with the caller, who gets the exception.
                s.tasks.erase(id);
                throw;
            }
            int64_t due = mode == schedule_at      ? time
                          : mode == schedule_every ? add_saturated(relative_time(), time)
                                                   : 0;
            enqueue(s, id, t, due);
        }
        // Any other mode is recorded but never queued: it never runs until cancelled.
        if (id_out) *id_out = id; // before the scheduler thread can see the task
    }
    post_wake();
}

void cancel_task(int64_t id) {
    if (x_cancel_task) {
        x_cancel_task(id);
        return;
    }
    runnable ended;
    {
        rec_lock lock(task_lock());
        scheduler_state& s = state();
        auto it = s.tasks.find(id);
        if (it == s.tasks.end()) return;
        task_record& t = it->second;
        if (t.running) {
            // The round in progress ends it (finish_task) and calls its del.
            t.cancelled = true;
            return;
        }
        unqueue(s, id, t);
        ended = t.task;
        s.tasks.erase(it);
    }
    post_wake();
    call_del(ended);
}

} // namespace rulo
