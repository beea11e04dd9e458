// The task scheduler: modes, ids, cancelling, del ownership and executors.
#include "rulo/clock.h"
#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/scheduler.h"
#include "rulo/semaphore.h"
#include "rulo/thread_pool.h"
#include "tests/rulo/failing_thread_start.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

constexpr int64_t limit_ms = 10000; // generous: nothing here should take a fraction of it

using rulo::relative_time;

// A task that counts its runs and dels. The scheduler writes id before the
// task can run. It must outlive the task: wait for `deleted` first.
struct probe {
    std::atomic<int> runs{0}, dels{0};
    rulo::semaphore ran{1, 0}, deleted{1, 0};
    int64_t id = -1;
    std::function<void(probe&)> on_run, on_del;
    std::mutex m;
    std::vector<int64_t> starts, ends; // relative time around each run

    static void run(void* p) {
        probe& self = *static_cast<probe*>(p);
        int64_t start = relative_time();
        if (self.on_run) self.on_run(self);
        {
            std::lock_guard<std::mutex> l(self.m);
            self.starts.push_back(start);
            self.ends.push_back(relative_time());
        }
        ++self.runs;
        self.ran.post();
    }
    static void del(void* p) {
        probe& self = *static_cast<probe*>(p);
        if (self.on_del) self.on_del(self);
        ++self.dels;
        self.deleted.post();
    }
    rulo::runnable r() { return rulo::runnable{&run, &del, this}; }
};

TEST(Scheduler, IdsNeverRepeatAcrossThreads) {
    constexpr int threads = 4, per_thread = 250;
    std::vector<std::vector<int64_t>> ids(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&ids, t] {
            for (int i = 0; i < per_thread; ++i) {
                int64_t id = 0;
                rulo::schedule_task(&id, relative_time() + 3600000, rulo::schedule_at, i % 2 == 0,
                                    rulo::runnable{[](void*) {}, [](void*) {}, nullptr});
                ids[t].push_back(id);
                rulo::cancel_task(id);
            }
        });
    for (auto& w : workers) w.join();
    std::set<int64_t> all;
    for (auto const& v : ids) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), size_t(threads * per_thread));
    EXPECT_GT(*all.begin(), 0);
}

TEST(Scheduler, ModesRunOnceOrPeriodicallyOnEveryTarget) {
    rulo::thread_pool own(2, 1000, rulo::thread::normal);
    for (int where = 0; where < 3; ++where) { // scheduler thread, scheduler pool, own executor
        for (auto mode : {rulo::schedule_at, rulo::schedule_every, rulo::schedule_now_and_every}) {
            SCOPED_TRACE(testing::Message() << "target " << where << " mode " << int(mode));
            probe p;
            int runs_at_del = -1;
            p.on_del = [&](probe& self) { runs_at_del = self.runs; };
            int64_t const t0 = relative_time(), period = 20;
            int64_t const time = mode == rulo::schedule_at ? t0 + 30 : period;
            if (where == 2)
                rulo::schedule_task_executor(&p.id, time, mode, own.get_executor(), p.r());
            else
                rulo::schedule_task(&p.id, time, mode, where == 1, p.r());
            if (mode != rulo::schedule_at) {
                for (int i = 0; i < 3; ++i) ASSERT_TRUE(p.ran.wait_ms(limit_ms));
                rulo::cancel_task(p.id);
            }
            ASSERT_TRUE(p.deleted.wait_ms(limit_ms));
            EXPECT_EQ(p.runs.load(), runs_at_del); // nothing ran after del
            EXPECT_TRUE(mode == rulo::schedule_at ? runs_at_del == 1 : runs_at_del >= 3) << runs_at_del;
            std::lock_guard<std::mutex> l(p.m);
            int64_t const first_due = mode == rulo::schedule_at      ? time
                                      : mode == rulo::schedule_every ? t0 + period
                                                                     : t0;
            EXPECT_GE(p.starts.at(0), first_due);
            // The period counts from the end of the previous run.
            for (size_t i = 1; i < p.starts.size(); ++i) EXPECT_GE(p.starts[i], p.ends[i - 1] + period);
        }
    }
}

// True when another thread can take the task lock while the caller waits.
bool task_lock_is_free() {
    auto taken = std::make_shared<rulo::semaphore>(1, 0);
    std::thread([taken] {
        rulo::rec_lock l(rulo::task_lock());
        taken->post();
    }).detach();
    return taken->wait_ms(limit_ms);
}

TEST(Scheduler, DelIsCalledOnceAfterTheLastRunAndOutsideTheTaskLock) {
    for (int64_t unknown : {int64_t(0), int64_t(-1), INT64_MAX}) rulo::cancel_task(unknown);
    enum how { on_pool, idle, unknown_mode, cancelled_running, cancelled_inside };
    struct {
        how end;
        char const* what;
        int runs;
    } const cases[] = {{on_pool, "one-shot on the pool", 1},
                       {idle, "cancelled while due in an hour", 0},
                       {unknown_mode, "unknown mode: recorded, never queued", 0},
                       {cancelled_running, "cancelled while running", 1},
                       {cancelled_inside, "cancelled from inside its own third run", 3}};
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        probe p;
        rulo::semaphore started(1, 0), gate(1, 0);
        bool lock_free = false;
        int runs_at_del = -1;
        p.on_del = [&](probe& self) {
            lock_free = task_lock_is_free();
            runs_at_del = self.runs;
        };
        if (c.end == on_pool) rulo::schedule_task(&p.id, 0, rulo::schedule_at, true, p.r());
        if (c.end == idle) rulo::schedule_task(&p.id, 3600000, rulo::schedule_every, false, p.r());
        if (c.end == unknown_mode) rulo::schedule_task(&p.id, 0, rulo::schedule_task_time(7), false, p.r());
        if (c.end == cancelled_running) {
            p.on_run = [&](probe&) {
                started.post();
                gate.wait();
            };
            rulo::schedule_task(&p.id, 5, rulo::schedule_now_and_every, true, p.r());
            ASSERT_TRUE(started.wait_ms(limit_ms));
        }
        if (c.end == cancelled_inside) {
            p.on_run = [](probe& self) {
                if (self.runs == 2) rulo::cancel_task(self.id); // the run finishes first
            };
            rulo::schedule_task(&p.id, 1, rulo::schedule_now_and_every, false, p.r());
        }
        if (c.end != on_pool && c.end != cancelled_inside) {
            rulo::cancel_task(p.id);
            EXPECT_EQ(p.dels.load(), c.end == cancelled_running ? 0 : 1) << "idle tasks end at once";
            gate.post();
        }
        ASSERT_TRUE(p.deleted.wait_ms(limit_ms));
        rulo::cancel_task(p.id); // finished: ignored
        EXPECT_TRUE(lock_free);
        EXPECT_EQ(p.dels.load(), 1);
        EXPECT_EQ(runs_at_del, c.runs);
        EXPECT_EQ(p.runs.load(), c.runs);
    }
}

// A task the executor deletes unrun still ends its round: a one-shot task is
// deleted, a periodic one is refused again each period until cancelled.
TEST(Scheduler, RefusedHandOutEndsTheRoundInsteadOfStrandingTheTask) {
    rulo::semaphore refused(1, 0);
    auto refuse = [](void* ctx, rulo::run_fn, rulo::run_fn del, void* arg) {
        del(arg);
        static_cast<rulo::semaphore*>(ctx)->post();
    };
    rulo::executor const ex{refuse, &refused};
    probe once, periodic;
    rulo::schedule_task_executor(&once.id, 0, rulo::schedule_at, ex, once.r());
    ASSERT_TRUE(once.deleted.wait_ms(limit_ms));
    rulo::schedule_task_executor(&periodic.id, 2, rulo::schedule_now_and_every, ex, periodic.r());
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(refused.wait_ms(limit_ms));
    rulo::cancel_task(periodic.id);
    ASSERT_TRUE(periodic.deleted.wait_ms(limit_ms));
    EXPECT_EQ(once.runs + periodic.runs, 0);
    EXPECT_EQ(periodic.dels.load(), 1);
}

// A schedule that cannot start the scheduler thread throws and leaves the task
// with the caller; the next schedule starts the thread again.
TEST(Scheduler, FailedSchedulerThreadStartLeavesTheTaskWithTheCaller) {
    bool failed_once = false;
    // The scheduler thread ends as soon as nothing is queued: retry until a
    // schedule finds it gone and has to start a new one.
    for (int attempt = 0; attempt < 2000 && !failed_once; ++attempt) {
        probe p;
        test_support::fail_next_thread_starts(1);
        try {
            rulo::schedule_task(&p.id, 0, rulo::schedule_at, false, p.r());
        } catch (rulo::exception const& e) {
            failed_once = true;
            EXPECT_EQ(e.description(), ":Error in 'detach'");
            EXPECT_EQ(p.id, -1);
            EXPECT_EQ(p.runs + p.dels, 0);
            continue;
        }
        test_support::fail_next_thread_starts(0);
        ASSERT_TRUE(p.deleted.wait_ms(limit_ms));
        std::this_thread::yield();
    }
    test_support::fail_next_thread_starts(0);
    ASSERT_TRUE(failed_once);
    probe q;
    rulo::schedule_task(&q.id, 0, rulo::schedule_at, false, q.r());
    ASSERT_TRUE(q.deleted.wait_ms(limit_ms));
    EXPECT_EQ(q.runs.load(), 1);
}

} // namespace
